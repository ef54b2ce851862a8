#include "rtsp/rtcp_handler.h"

#include <arpa/inet.h>

#include <cstring>

#include "base/bytes.h"
#include "rtsp/rtcp_packets.h"

namespace vornak {

namespace {
constexpr uint32_t kReportIntervalMs = 10000;
constexpr uint32_t kRtcpStopWaitMs = 5100;
constexpr uint32_t kSelectTimeoutMs = 1000;
constexpr uint32_t kBufferLength = 1536;
constexpr size_t kSrMinimum = 28;
}  // namespace

CRTCPHandler::CRTCPHandler(IDebugMessage* debug)
    : CBaseThread(debug),
      client_(debug),
      clock_(&SystemStreamClock()),
      random_(&SystemRandomSource()) {}

CRTCPHandler::~CRTCPHandler() {
    Close();
}

void CRTCPHandler::SetUser(IRTCPHandlerUser* user) {
    CLockGuard guard(lock_);
    user_ = user;
}

void CRTCPHandler::ResetReportState() {
    CLockGuard guard(lock_);
    srArrived_.Reset();
    remoteKnown_ = ssrcLocked_ = false;
    uint32_t ssrc = 0;
    random_->Fill(&ssrc, sizeof(ssrc));
    ownSsrc_ = ssrc;
    srArrival_ = 0;
    sourceSsrc_ = 0;
    versionByte_ = 0;
    remote_ = sockaddr_in{};
    stats_ = CReceptionStats{};
    lastSr_ = 0;
}

bool CRTCPHandler::OpenWith(uint32_t deviceAddress, const std::string& threadName,
                            const std::function<bool()>& open) {
    if (deviceAddress == 0 || client_.GetBoundPort() != 0) {
        return false;
    }
    ResetReportState();
    client_.SetSelectTimeout(kSelectTimeoutMs);
    client_.SetBufferLength(kBufferLength);
    {
        CLockGuard guard(lock_);
        deviceAddress_ = deviceAddress;
    }
    if (!open()) {
        return false;
    }
    srArrived_.Reset();
    byeRequested_.Reset();
    if (!StartThread(threadName)) {
        client_.Close();
        return false;
    }
    return true;
}

bool CRTCPHandler::Open(uint32_t deviceAddress, uint16_t port) {
    return OpenWith(deviceAddress, Format("RTCP Handler Thread - %hu", port),
                    [&] { return client_.Open(this, port); });
}

bool CRTCPHandler::OpenMulticast(uint32_t deviceAddress, const std::string& group, uint16_t port) {
    return OpenWith(deviceAddress, Format("RTCP Handler Thread - %s:%hu", group.c_str(), port),
                    [&] { return client_.OpenGroup(this, group, port); });
}

void CRTCPHandler::Close() {
    StopThread(kRtcpStopWaitMs);
    client_.Close();
    CLockGuard guard(lock_);
    remoteKnown_ = ssrcLocked_ = false;
    sourceSsrc_ = 0;
    deviceAddress_ = 0;
    stats_ = CReceptionStats{};
}

bool CRTCPHandler::AcceptRtp(const CRTPPacket& packet) {
    // Video clocks run at 90 kHz.
    const uint32_t arrival = static_cast<uint32_t>(clock_->TickMs() * 90);
    CLockGuard guard(lock_);
    if (!ssrcLocked_) {
        sourceSsrc_ = packet.ssrc;
        ssrcLocked_ = true;
        stats_ = CReceptionStats{};
    } else if (packet.ssrc != sourceSsrc_) {
        return false;
    }
    stats_.OnPacket(packet.sequence, packet.timestamp, arrival);
    return true;
}

void CRTCPHandler::ExpectNewSource() {
    CLockGuard guard(lock_);
    ssrcLocked_ = false;
    sourceSsrc_ = 0;
    stats_ = CReceptionStats{};
}

void CRTCPHandler::SetSourceSsrc(uint32_t ssrc) {
    CLockGuard guard(lock_);
    if (ssrc != 0) {
        sourceSsrc_ = ssrc;
        ssrcLocked_ = true;
    }
}

uint32_t CRTCPHandler::GetSourceSsrc() {
    CLockGuard guard(lock_);
    return sourceSsrc_;
}

uint32_t CRTCPHandler::GetOwnSsrc() {
    CLockGuard guard(lock_);
    return ownSsrc_;
}

void CRTCPHandler::OnDatagram(IRTPClient* /*client*/, const sockaddr_in& sender,
                              const uint8_t* data, uint32_t length) {
    {
        CLockGuard guard(lock_);
        if (sender.sin_addr.s_addr != deviceAddress_) {
            return;
        }
    }
    bool bye = false;
    WalkRtcp(std::span<const uint8_t>(data, length),
             [&](uint8_t type, std::span<const uint8_t> packet) {
                 if (packet.size() < 8) {
                     return;
                 }
                 uint32_t ssrc = 0;
                 std::memcpy(&ssrc, &packet[4], 4);
                 CLockGuard guard(lock_);
                 if (ssrcLocked_ && ssrc != sourceSsrc_) {
                     return;
                 }
                 if (type == kRtcpSenderReport && packet.size() >= kSrMinimum) {
                     if (!remoteKnown_) {
                         remote_ = sender;
                         remoteKnown_ = true;
                     }
                     versionByte_ = packet[0] & 0xC0;
                     if (!ssrcLocked_) {
                         sourceSsrc_ = ssrc;
                         ssrcLocked_ = true;
                     }
                     // Middle 32 bits of the 64-bit NTP timestamp.
                     lastSr_ = ReadBe32(&packet[10]);
                     srArrival_ = clock_->TickMs();
                     srArrived_.Set();
                 } else if (type == kRtcpBye && remoteKnown_) {
                     remoteKnown_ = false;
                     ssrcLocked_ = false;
                     sourceSsrc_ = 0;
                     bye = true;
                 }
             });
    if (!bye) {
        return;
    }
    IRTCPHandlerUser* user = nullptr;
    {
        CLockGuard guard(lock_);
        user = user_;
    }
    if (user != nullptr) {
        try {
            user->OnRtcpBye();
        } catch (...) {
        }
    }
}

bool CRTCPHandler::SendPacket(const uint8_t* data, uint32_t length) {
    sockaddr_in remote{};
    {
        CLockGuard guard(lock_);
        if (!remoteKnown_) {
            return false;
        }
        remote = remote_;
    }
    if (client_.SendTo(remote, data, length)) {
        return true;
    }
    CLockGuard guard(lock_);
    remoteKnown_ = false;
    return false;
}

void CRTCPHandler::ThreadFunction() {
    for (;;) {
        CEvent* events[] = {&stopEvent_, &srArrived_, &byeRequested_};
        const int which = CEvent::WaitForMultiple(events, 3, kReportIntervalMs);
        if (which == 1 || which < 0) {
            ReceiverReportFields fields;
            {
                CLockGuard guard(lock_);
                fields.versionByte = versionByte_;
                fields.ownSsrc = ownSsrc_;
                fields.sourceSsrc = sourceSsrc_;
                stats_.Report(fields);
                fields.lastSr = lastSr_;
                if (srArrival_ != 0) {
                    const uint64_t elapsedMs = clock_->TickMs() - srArrival_;
                    fields.delaySinceLastSr = static_cast<uint32_t>(elapsedMs * 65536 / 1000);
                }
            }
            const auto report = BuildReceiverReport(fields);
            SendPacket(report.data(), report.size());
            srArrived_.Reset();
            continue;
        }
        uint8_t versionByte = 0;
        uint32_t ownSsrc = 0;
        {
            CLockGuard guard(lock_);
            versionByte = versionByte_;
            ownSsrc = ownSsrc_;
        }
        const auto bye = BuildBye(versionByte, ownSsrc);
        SendPacket(bye.data(), bye.size());
        ResetReportState();
        if (which == 0) {
            return;
        }
    }
}

}  // namespace vornak
