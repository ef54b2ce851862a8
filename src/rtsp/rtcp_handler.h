// The receiving side of RTCP for one RTP stream over UDP: learns the camera's sender SSRC and
// RTCP address from its sender reports, answers with receiver reports that carry the reception
// statistics of the RTP packets it is shown, says BYE when it stops and tells its user when the
// camera says BYE.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>

#include "base/sync.h"
#include "base/thread.h"
#include "rtsp/rtcp_packets.h"
#include "rtsp/rtp_packet.h"
#include "rtsp/rtsp_interfaces.h"
#include "rtsp/stream_clock.h"
#include "rtsp/udp_client.h"

namespace vornak {

class CRTCPHandler : public CBaseThread, public IRTPClientUser {
  public:
    explicit CRTCPHandler(IDebugMessage* debug);
    ~CRTCPHandler() override;

    // deviceAddress: IPv4 in network order, the only source accepted.
    bool Open(uint32_t deviceAddress, uint16_t port);
    bool OpenMulticast(uint32_t deviceAddress, const std::string& group, uint16_t port);
    void Close();
    // `user` is borrowed and must outlive the handler's threads.
    void SetUser(IRTCPHandlerUser* user);
    // True when the packet is from the source this handler follows; the first packet after Open,
    // ExpectNewSource or the camera's BYE picks the source.
    bool AcceptRtp(const CRTPPacket& packet);
    // A new session: its sender is taken from its first packet, even without the old one's BYE.
    void ExpectNewSource();
    void SetSourceSsrc(uint32_t ssrc);
    uint32_t GetSourceSsrc();
    uint32_t GetOwnSsrc();
    uint16_t GetBoundPort() const { return client_.GetBoundPort(); }

    // Both must outlive the handler; set before Open.
    void SetClock(IStreamClock* clock) { clock_ = clock; }
    void SetRandomSource(IRandomSource* random) { random_ = random; }

    void OnDatagram(IRTPClient* client, const sockaddr_in& sender, const uint8_t* data,
                    uint32_t length) override;
    void OnReceiveTimeout(IRTPClient*) override {}
    void OnSocketClosed(IRTPClient*) override {}

  protected:
    void ThreadFunction() override;

  private:
    bool OpenWith(uint32_t deviceAddress, const std::string& threadName,
                  const std::function<bool()>& open);
    void ResetReportState();
    bool SendPacket(const uint8_t* data, uint32_t length);

    CUDPClient client_;
    CLock lock_;
    IRTCPHandlerUser* user_ = nullptr;
    uint32_t deviceAddress_ = 0;
    bool remoteKnown_ = false;
    bool ssrcLocked_ = false;
    sockaddr_in remote_{};
    uint8_t versionByte_ = 0;
    uint32_t ownSsrc_ = 0;
    uint32_t sourceSsrc_ = 0;  // as received
    CReceptionStats stats_;
    uint32_t lastSr_ = 0;
    uint64_t srArrival_ = 0;
    CEvent srArrived_{false};
    CEvent byeRequested_{false};
    IStreamClock* clock_;
    IRandomSource* random_;
};

}  // namespace vornak
