#include "rtsp/rtsp_response_parser.h"

#include <array>

#include "base/time.h"
#include "rtsp/rtsp_text.h"

namespace vornak {

using namespace rtsptext;

namespace {
constexpr size_t kMaxVersionLength = 128;
constexpr size_t kMaxContentTypeLength = 255;
constexpr uint32_t kDefaultServerTimeoutSec = 30;

// Leading decimal digits, as a scanf "%lu" would read them; nullopt without any.
std::optional<uint32_t> LeadingNumber(std::string_view text) {
    text = Trim(text);
    size_t n = 0;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9') {
        ++n;
    }
    return ParseDecimal(text.substr(0, n));
}

// "a-b" into two port numbers.
bool ReadPortPair(std::string_view text, uint16_t& first, uint16_t& second) {
    const size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        return false;
    }
    const auto a = ParseDecimal(Trim(text.substr(0, dash)));
    const auto b = ParseDecimal(Trim(text.substr(dash + 1)));
    if (!a || !b || *a > 0xFFFF || *b > 0xFFFF) {
        return false;
    }
    first = static_cast<uint16_t>(*a);
    second = static_cast<uint16_t>(*b);
    return true;
}

bool HasToken(std::string_view text, std::string_view token) {
    for (std::string_view word : Split(text, ";")) {
        if (EqualsNoCase(Trim(word), token)) {
            return true;
        }
    }
    return false;
}

std::string Unquote(std::string_view value) {
    std::string out;
    for (char c : value) {
        if (c != '"') {
            out.push_back(c);
        }
    }
    return out;
}

// A challenge parameter: a quoted value may hold commas.
std::string ChallengeParameter(std::string_view params, std::string_view key) {
    const auto value = FindParameter(params, key, "=", "\r\n");
    if (!value) {
        return {};
    }
    if (!value->empty() && value->front() == '"') {
        const size_t close = value->find('"', 1);
        if (close != std::string_view::npos) {
            return std::string(value->substr(1, close - 1));
        }
    }
    return Unquote(Trim(value->substr(0, value->find(','))));
}
}  // namespace

std::string_view RtspMethodName(uint32_t method) {
    static constexpr std::array<std::string_view, 8> kNames = {
        "", "DESCRIBE", "SETUP", "PLAY", "TEARDOWN", "GET_PARAMETER", "PAUSE", "OPTIONS"};
    return method < kNames.size() ? kNames[method] : std::string_view{};
}

void CRTSPResponseParser::Reset() {
    version.clear();
    contentBase.clear();
    contentType.clear();
    sessionId.clear();
    realm.clear();
    nonce.clear();
    destination.clear();
    status = 0;
    cseq = 0;
    contentLength = 0;
    sessionTimeoutSec = 0;
    rangeClockStart = 0;
    authScheme = kRtspAuthNone;
    interleavedChannel = 0;
    serverRtpPort = serverRtcpPort = multicastRtpPort = multicastRtcpPort = 0;
    transportSeen = 1;
    description.Clear();
}

bool CRTSPResponseParser::Parse(uint32_t method, std::string_view text) {
    size_t lineEnd = text.find("\r\n");
    const std::string_view statusLine = text.substr(0, lineEnd);
    const auto words = Split(statusLine, " \t");
    if (words.size() < 2 || words[0].size() > kMaxVersionLength) {
        return false;
    }
    const auto code = LeadingNumber(words[1]);
    if (!code) {
        return false;
    }
    version = std::string(words[0]);
    status = *code;
    contentLength = 0;
    if (status != 200 && status != 401) {
        return false;
    }

    size_t bodyStart = std::string_view::npos;
    while (lineEnd != std::string_view::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = text.find("\r\n", start);
        const std::string_view line = text.substr(
            start, lineEnd == std::string_view::npos ? text.size() - start : lineEnd - start);
        if (line.empty()) {
            bodyStart = lineEnd == std::string_view::npos ? text.size() : lineEnd + 2;
            break;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon < 2) {
            continue;  // not a header we know
        }
        if (!ParseHeader(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)), line)) {
            return false;
        }
    }
    if (contentLength == 0) {
        return true;
    }
    if (bodyStart == std::string_view::npos || text.size() - bodyStart < contentLength) {
        return false;
    }
    if (method != kRtspDescribe) {
        return true;
    }
    SessionDescription parsed;
    if (!CSDPResponseParser::Parse(text.substr(bodyStart, contentLength), parsed)) {
        return false;
    }
    description = std::move(parsed);
    return true;
}

bool CRTSPResponseParser::ParseHeader(std::string_view name, std::string_view value,
                                      std::string_view line) {
    if (EqualsNoCase(name, "CSeq")) {
        const auto number = LeadingNumber(value);
        if (!number) {
            return false;
        }
        cseq = *number;
    } else if (EqualsNoCase(name, "Public")) {
        return ParsePublic(value);
    } else if (EqualsNoCase(name, "Content-Base")) {
        return ParseContentBase(line);
    } else if (EqualsNoCase(name, "Content-Type")) {
        const auto type = Split(value, " \t");
        if (!type.empty()) {
            contentType = ToLower(type[0].substr(0, kMaxContentTypeLength));
        }
    } else if (EqualsNoCase(name, "Content-Length")) {
        contentLength = LeadingNumber(value).value_or(0);
    } else if (EqualsNoCase(name, "Transport")) {
        return ParseTransport(value);
    } else if (EqualsNoCase(name, "Session")) {
        return ParseSession(value);
    } else if (EqualsNoCase(name, "RTP-Info")) {
        return ParseRtpInfo(value);
    } else if (EqualsNoCase(name, "WWW-Authenticate")) {
        return ParseChallenge(value);
    } else if (EqualsNoCase(name, "Range") && StartsWithNoCase(value, "clock=")) {
        // "clock=20240305T140709.120Z-": the compact form is the ISO one without separators.
        const std::string_view start = value.substr(6, value.find('-') - 6);
        if (start.size() >= 15 && start[8] == 'T') {
            const std::string iso =
                std::string(start.substr(0, 4)) + "-" + std::string(start.substr(4, 2)) + "-" +
                std::string(start.substr(6, 2)) + "T" + std::string(start.substr(9, 2)) + ":" +
                std::string(start.substr(11, 2)) + ":" + std::string(start.substr(13));
            rangeClockStart = ParseTime(iso);
        }
    }
    // Date, Server, Accept-Ranges, RTCP-Interval and anything else: not needed.
    return true;
}

bool CRTSPResponseParser::ParsePublic(std::string_view value) {
    publicMethods.clear();
    for (std::string_view word : Split(value, " \t,")) {
        publicMethods.emplace(word);
    }
    return !publicMethods.empty();
}

bool CRTSPResponseParser::ParseContentBase(std::string_view line) {
    const std::string lower = ToLower(line);
    const size_t name = lower.find("content-base:");
    if (name == std::string::npos) {
        contentBase.clear();
        return false;
    }
    const size_t url = lower.find("rtsp://", name);
    if (url != std::string::npos) {
        contentBase = std::string(Trim(line.substr(url)));
    }
    return true;
}

//   Transport: RTP/AVP;unicast;client_port=5000-5001;server_port=6000-6001
//   Transport: RTP/AVP/TCP;unicast;interleaved=0-1
//   Transport: RTP/AVP;multicast;destination=239.1.2.3;port=5000-5001;ttl=5
bool CRTSPResponseParser::ParseTransport(std::string_view value) {
    transportSeen = 1;
    interleavedChannel = 0;
    serverRtpPort = serverRtcpPort = multicastRtpPort = multicastRtcpPort = 0;
    destination.clear();
    if (const auto channel = FindParameter(value, "interleaved", "=", ";-\r\n")) {
        interleavedChannel = static_cast<uint8_t>(ParseDecimal(*channel).value_or(0));
        return true;
    }
    destination = std::string(FindParameter(value, "destination", "=", ";\r\n").value_or(""));
    if (HasToken(value, "unicast")) {
        if (const auto ports = FindParameter(value, "server_port", "=", ";\r\n")) {
            return ReadPortPair(*ports, serverRtpPort, serverRtcpPort);
        }
    } else if (HasToken(value, "multicast")) {
        if (const auto ports = FindParameter(value, "port", "=", ";\r\n")) {
            return ReadPortPair(*ports, multicastRtpPort, multicastRtcpPort);
        }
    }
    return true;
}

//   Session: 12345678;timeout=60
bool CRTSPResponseParser::ParseSession(std::string_view value) {
    sessionId = std::string(Trim(value.substr(0, value.find(';'))));
    if (value.find(';') != std::string_view::npos) {
        if (const auto timeout = FindParameter(value, "timeout", "=", ";\r\n")) {
            const uint32_t seconds = ParseDecimal(*timeout).value_or(0);
            sessionTimeoutSec = seconds == 0 ? kDefaultServerTimeoutSec : seconds;
        } else {
            sessionId.clear();
        }
    }
    return !sessionId.empty();
}

//   RTP-Info: url=rtsp://cam/media.amp/trackID=1;seq=1234;rtptime=567890
bool CRTSPResponseParser::ParseRtpInfo(std::string_view value) {
    const auto seq = FindParameter(value, "seq", "=", ";, \r\n");
    const auto rtpTime = FindParameter(value, "rtptime", "=", ";, \r\n");
    if (!seq || !rtpTime) {
        return false;
    }
    rtpInfoSeq = static_cast<uint16_t>(ParseDecimal(*seq).value_or(0));
    rtpInfoRtpTime = ParseDecimal(*rtpTime).value_or(0);
    return true;
}

//   WWW-Authenticate: Digest realm="cam", nonce="0a1b2c"
//   WWW-Authenticate: Basic realm="cam"
// Digest wins over Basic whatever their order in one answer.
bool CRTSPResponseParser::ParseChallenge(std::string_view value) {
    const size_t end = value.find_first_of(" \t");
    const std::string_view scheme = value.substr(0, end);
    if (scheme.empty()) {
        return false;
    }
    const std::string_view params =
        end == std::string_view::npos ? std::string_view{} : value.substr(end);
    if (EqualsNoCase(scheme, "Digest")) {
        authScheme = kRtspAuthDigest;
    } else if (EqualsNoCase(scheme, "Basic") && authScheme == kRtspAuthNone) {
        authScheme = kRtspAuthBasic;
    } else {
        return true;
    }
    realm = ChallengeParameter(params, "realm");
    nonce = ChallengeParameter(params, "nonce");
    if (authScheme == kRtspAuthDigest) {
        return !realm.empty() && !nonce.empty();
    }
    return true;
}

}  // namespace vornak
