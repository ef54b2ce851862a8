// Reads one RTSP answer (status line, headers and, for DESCRIBE, the SDP body) and keeps what the
// client needs between requests.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "rtsp/sdp_parser.h"

namespace vornak {

// Method codes of the client's requests.
enum RtspMethod : uint32_t {
    kRtspDescribe = 1,
    kRtspSetup = 2,
    kRtspPlay = 3,
    kRtspTeardown = 4,
    kRtspGetParameter = 5,
    kRtspPause = 6,
    kRtspOptions = 7,  // the keep-alive of servers that refuse GET_PARAMETER
};
// Empty for an unknown code.
std::string_view RtspMethodName(uint32_t method);

// The RTSP client's own numbering; the HTTP sender's kAuth* values follow the host's.
enum RtspAuthScheme : uint32_t { kRtspAuthNone = 0, kRtspAuthBasic = 1, kRtspAuthDigest = 2 };

class CRTSPResponseParser {
  public:
    CRTSPResponseParser() { Reset(); }
    virtual ~CRTSPResponseParser() = default;

    // Parses one whole answer; false for a status other than 200 and 401, a malformed header the
    // client relies on, or a DESCRIBE body that is missing or not a usable description.
    [[nodiscard]] bool Parse(uint32_t method, std::string_view text);
    void Reset();

    std::string version;
    uint32_t status = 0;
    uint32_t cseq = 0;  // also the client's request counter
    std::set<std::string> publicMethods;
    std::string contentBase;
    std::string contentType;  // lower case
    uint32_t contentLength = 0;
    std::string sessionId;
    uint32_t sessionTimeoutSec = 0;
    uint32_t authScheme = kRtspAuthNone;
    std::string realm;
    std::string nonce;
    uint8_t transportSeen = 1;
    uint8_t interleavedChannel = 0;
    uint16_t serverRtpPort = 0;
    uint16_t serverRtcpPort = 0;
    uint16_t multicastRtpPort = 0;
    uint16_t multicastRtcpPort = 0;
    std::string destination;
    uint32_t rtpInfoRtpTime = 0;
    uint16_t rtpInfoSeq = 0;
    // Start of a PLAY answer's "Range: clock=" (a recording's playback); 0 when absent.
    uint64_t rangeClockStart = 0;
    SessionDescription description;

  private:
    bool ParseHeader(std::string_view name, std::string_view value, std::string_view line);
    bool ParsePublic(std::string_view value);
    bool ParseContentBase(std::string_view line);
    bool ParseTransport(std::string_view value);
    bool ParseSession(std::string_view value);
    bool ParseRtpInfo(std::string_view value);
    bool ParseChallenge(std::string_view value);
};

}  // namespace vornak
