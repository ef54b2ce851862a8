#include "rtsp/rtsp_transports.h"

#include <array>

#include "platform/host_info.h"

namespace vornak {

namespace {
constexpr size_t kAnswerReadSize = 4096;
}  // namespace

CBaseRTSPClientTCP::CBaseRTSPClientTCP(IDebugMessage* debug, std::string ownerName,
                                       uint32_t transportKind)
    : CBaseRTSPClient(debug, std::move(ownerName), transportKind),
      factory_([] { return std::make_unique<CTCPConnection>(); }) {}

CBaseRTSPClientTCP::~CBaseRTSPClientTCP() {
    CBaseRTSPClientTCP::Stop();
}

bool CBaseRTSPClientTCP::Start(const RTSPClientSettings& settings, IRTSPClientUser* user) {
    Stop();
    connection_ = factory_();
    reader_.Clear();
    if (!connection_ || !connection_->Open(settings)) {
        if (debug_ != nullptr) {
            debug_->DebugMessage(kLogWarning,
                                 "vornak::CBaseRTSPClientTCP::Start: no connection to %s:%u",
                                 settings.host.c_str(), settings.port);
        }
        Stop();
        return false;
    }
    if (!CBaseRTSPClient::Start(settings, user)) {
        Stop();
        return false;
    }
    return true;
}

bool CBaseRTSPClientTCP::Stop() {
    if (connection_) {
        connection_->ShortenReceiveTimeout();
    }
    const bool stopped = CBaseRTSPClient::Stop();
    if (connection_) {
        connection_->Close();
    }
    return stopped;
}

bool CBaseRTSPClientTCP::ReadAnswer(std::string& text) {
    std::array<uint8_t, kAnswerReadSize> buffer{};
    // One deadline for the whole answer: a camera that drips it, or sends media frames instead,
    // returns data on every read and would otherwise hold the session for ever.
    const uint32_t limitMs = settings_.receiveTimeoutMs;
    const uint64_t start = platform::TickMs();
    for (CRTSPAnswerReader::State state = reader_.Check();;) {
        switch (state) {
            case CRTSPAnswerReader::State::kComplete:
                text = reader_.TakeAnswer();
                return true;
            case CRTSPAnswerReader::State::kTooLarge:
            case CRTSPAnswerReader::State::kBadLength:
                if (debug_ != nullptr) {
                    debug_->DebugMessage(kLogWarning,
                                         "vornak::CBaseRTSPClientTCP::ReadAnswer: answer refused "
                                         "(%s)",
                                         CRTSPAnswerReader::RefusalReason(state));
                }
                reader_.Clear();
                return false;
            case CRTSPAnswerReader::State::kNeedMore:
                break;
        }
        const auto elapsedMs = [start] { return platform::TickMs() - start; };
        const uint64_t elapsed = elapsedMs();
        const int n =
            limitMs != 0 && elapsed >= limitMs
                ? -1
                : connection_->ReceiveWithin(
                      buffer, limitMs == 0 ? 0 : limitMs - static_cast<uint32_t>(elapsed));
        if (n <= 0) {
            if (n < 0 && limitMs != 0 && elapsedMs() >= limitMs && debug_ != nullptr) {
                debug_->DebugMessage(kLogWarning,
                                     "vornak::CBaseRTSPClientTCP::ReadAnswer: no complete answer "
                                     "from %s within %u ms",
                                     settings_.host.c_str(), limitMs);
            }
            reader_.Clear();
            return false;
        }
        state = reader_.Feed(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
    }
}

bool CBaseRTSPClientTCP::SendRequest(uint32_t method) {
    if (!connection_ || !connection_->IsOpen()) {
        return false;
    }
    const std::string request = BuildRequest(method);
    if (request.empty() || !connection_->Send(request)) {
        return false;
    }
    std::string answer;
    if (!ReadAnswer(answer)) {
        return false;
    }
    return parser_.Parse(method, answer);
}

bool CRTSPClientMulticast::Start(const RTSPClientSettings& settings, IRTSPClientUser* user) {
    Stop();
    userEx_ = nullptr;
    RTSPClientSettings multicast = settings;
    multicast.multicast = 1;
    return CBaseRTSPClientTCP::Start(multicast, user);
}

bool CRTSPClientMulticast::Start(const RTSPClientSettings& settings, IRTSPClientUserEx* userEx) {
    Stop();  // no session thread may see the user change
    userEx_ = userEx;
    RTSPClientSettings multicast = settings;
    multicast.multicast = 1;
    return CBaseRTSPClientTCP::Start(multicast, userEx);
}

bool CRTSPClientMulticast::OnSetupDone() {
    if (userEx_ == nullptr) {
        return true;
    }
    try {
        return userEx_->OnRtspSetupProcessed(parser_.destination.c_str(), parser_.multicastRtpPort);
    } catch (...) {
        return false;
    }
}

void CRTSPClientMulticast::OnPlayDone() {
    if (userEx_ == nullptr) {
        return;
    }
    try {
        userEx_->OnRtspPlayProcessed(parser_.rtpInfoRtpTime, parser_.rtpInfoSeq);
    } catch (...) {
    }
}

bool CRTSPClientInterleaved::SendRequest(uint32_t method) {
    if (method != kRtspPlay) {
        return CBaseRTSPClientTCP::SendRequest(method);
    }
    if (!connection_ || !connection_->IsOpen()) {
        return false;
    }
    const std::string request = BuildRequest(method);
    if (request.empty() || !connection_->Send(request)) {
        return false;
    }
    return ReceiveLoop();
}

bool CRTSPClientInterleaved::ReceiveLoop() {
    CRTSPStreamParser streamParser(this, parser_.interleavedChannel);
    // Bytes that came with the last answer belong to the stream.
    const std::string early = reader_.TakeBuffered();
    streamParser.Feed(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(early.data()), early.size()));
    bool ended = false;
    while (!ended && !stopEvent_.IsSet()) {
        // Read straight into the parser, which takes the frames where they lie.
        const int n = connection_->Receive(streamParser.WriteArea());
        ended = n <= 0;
        if (!ended) {
            streamParser.Commit(static_cast<size_t>(n));
            StreamKeepAlive();
        }
    }
    // The TEARDOWN answer comes after more media: its reader must start at a frame boundary, not
    // inside the frame read last, or it takes media bytes for the answer's header.
    reader_.Feed(streamParser.Unparsed());
    return ended;
}

bool CRTSPClientInterleaved::SendInStream(const std::string& bytes) {
    return connection_ && connection_->Send(bytes);
}

}  // namespace vornak
