#include "web/http_sender.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/host_info.h"
#include "web/field_search.h"

namespace Web {

namespace {
// Upper bound of one header value taken from the device.
constexpr size_t kMaxHeaderValue = 1023;
// Body bytes buffered before the sender stops reading from the socket; the reader's pace then
// sets the stream's pace, as with a socket's own buffer.
constexpr size_t kRxPauseThreshold = 256 * 1024;
constexpr size_t kRxCompactAt = 64 * 1024;
// A device that keeps switching schemes cannot keep us looping.
constexpr uint32_t kMaxAttempts = 4;
constexpr uint32_t kDigestAttempts = 3;
// Whole-body reads of a device that claims a huge length stop here.
constexpr uint32_t kMaxWholeBody = 64u * 1024 * 1024;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

using vornak::EqualsNoCase;
using vornak::Trim;
using vornak::platform::TickMs;

uint32_t ErrorFromCurl(int code) {
    switch (code) {
        case CURLE_OK:
            return kErrorNone;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return kErrorNameNotResolved;
        case CURLE_COULDNT_CONNECT:
            return kErrorCannotConnect;
        case CURLE_OPERATION_TIMEDOUT:
            return kErrorTimeout;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return kErrorSecureFailure;
        case CURLE_GOT_NOTHING:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:  // also a reply without status line
        case CURLE_BAD_CONTENT_ENCODING:
            return kErrorInvalidServerResponse;
        case CURLE_LOGIN_DENIED:
            return kErrorLoginFailure;
        case CURLE_ABORTED_BY_CALLBACK:
            return kErrorOperationCancelled;
        case CURLE_URL_MALFORMAT:
        case CURLE_OUT_OF_MEMORY:
        case CURLE_BAD_FUNCTION_ARGUMENT:
        case CURLE_UNKNOWN_OPTION:
        case CURLE_NOT_BUILT_IN:
            return kErrorInternal;
        default:
            return kErrorConnectionError;
    }
}

// Bytes curl refuses in a URL are escaped; everything else goes out as the caller wrote it.
std::string EscapePath(std::string_view path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' ||
            c == '`' || c == '{' || c == '|' || c == '}') {
            out.push_back('%');
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 0x0F]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string HostForUrl(const std::string& address) {
    if (address.find(':') != std::string::npos && address.front() != '[') {
        return "[" + address + "]";
    }
    return address;
}

uint32_t SchemeFromName(std::string_view name) {
    if (EqualsNoCase(name, "Basic")) {
        return kAuthBasic;
    }
    if (EqualsNoCase(name, "Digest")) {
        return kAuthDigest;
    }
    if (EqualsNoCase(name, "NTLM")) {
        return kAuthNtlm;
    }
    if (EqualsNoCase(name, "Negotiate")) {
        return kAuthNegotiate;
    }
    if (EqualsNoCase(name, "Passport1.4")) {
        return kAuthPassport;
    }
    return kAuthNone;
}
// A body goes out (perhaps an empty one): curl then reads it through OnUpload.
bool CarriesBody(const HttpRequest& request) {
    return !request.body.empty() || request.totalLength > 0 || request.verb == "POST" ||
           request.verb == "PUT";
}
}  // namespace

HttpRequest MakeGetRequest(std::string path) {
    HttpRequest request;
    request.verb = "GET";
    request.path = std::move(path);
    return request;
}

CHttpSender::CHttpSender(const vornak::DEVICE_INFO& device, std::string userAgent,
                         ClientNonceSource nonceSource)
    : CBaseHttpSender(device),
      userAgent_(std::move(userAgent)),
      timeLimitMs_(device.networkTimeout),
      auth_(std::move(nonceSource)),
      useHttps_(device.port == 443) {
    OpenSession();
}

CHttpSender::CHttpSender(const vornak::DEVICE_INFO& device, uint32_t timeLimitMs)
    : CBaseHttpSender(device),
      userAgent_(kDefaultUserAgent),
      timeLimitMs_(timeLimitMs),
      useHttps_(device.port == 443) {
    OpenSession();
}

CHttpSender::~CHttpSender() {
    CloseRequest();
    if (easy_ != nullptr) {
        curl_easy_cleanup(easy_);
    }
    if (multi_ != nullptr) {
        curl_multi_cleanup(multi_);
    }
}

void CHttpSender::OpenSession() {
    GlobalInit();
    multi_ = curl_multi_init();
    easy_ = curl_easy_init();
    if (multi_ != nullptr) {
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, 16L);
    }
}

void CHttpSender::CloseRequest() {
    if (requestOpen_) {
        curl_multi_remove_handle(multi_, easy_);
        requestOpen_ = false;
    }
    if (headerList_ != nullptr) {
        curl_slist_free_all(headerList_);
        headerList_ = nullptr;
    }
    headerOut_ = headersDone_ = headersProcessed_ = transferDone_ = false;
    transferResult_ = CURLE_OK;
    rawStatus_ = 0;
    responseHeaders_.clear();
    rx_.clear();
    rxPos_ = 0;
    rxPaused_ = false;
    tx_.clear();
    txPos_ = 0;
    txAnnounced_ = txTaken_ = 0;
    txPaused_ = false;
}

size_t CHttpSender::OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* sender = static_cast<CHttpSender*>(self);
    const size_t length = size * count;
    sender->progress_ += length;
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.remove_suffix(1);
    }
    if (line.substr(0, 5) == "HTTP/") {
        // A new answer (after 100 Continue, a redirect or an NTLM round) starts afresh.
        sender->responseHeaders_.clear();
        sender->rawStatus_ = 0;
        const size_t blank = line.find(' ');
        if (blank != std::string_view::npos) {
            sender->rawStatus_ = vornak::ParseDecimal(line.substr(blank + 1, 3)).value_or(0);
        }
        return length;
    }
    if (line.empty()) {
        const uint32_t status = sender->rawStatus_;
        const bool interim = status < 200;
        const bool redirected = sender->followRedirects_ && status >= 300 && status < 400 &&
                                !sender->GetResponseHeader("Location").empty();
        const bool curlRetries = sender->curlAuth_ && status == 401;
        if (!interim && !redirected && !curlRetries) {
            sender->headersDone_ = true;
        }
        return length;
    }
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && sender->responseHeaders_.size() < 256) {
        std::string_view value = Trim(line.substr(colon + 1));
        sender->responseHeaders_.emplace_back(std::string(Trim(line.substr(0, colon))),
                                              std::string(value.substr(0, kMaxHeaderValue)));
    }
    return length;
}

size_t CHttpSender::OnBody(char* data, size_t size, size_t count, void* self) {
    auto* sender = static_cast<CHttpSender*>(self);
    const size_t length = size * count;
    if (sender->rx_.size() - sender->rxPos_ >= kRxPauseThreshold) {
        sender->rxPaused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (sender->rxPos_ > 0 && sender->rxPos_ == sender->rx_.size()) {
        sender->rx_.clear();
        sender->rxPos_ = 0;
    }
    sender->rx_.insert(sender->rx_.end(), data, data + length);
    sender->progress_ += length;
    return length;
}

size_t CHttpSender::OnUpload(char* data, size_t size, size_t count, void* self) {
    auto* sender = static_cast<CHttpSender*>(self);
    const size_t room = size * count;
    const size_t available = sender->tx_.size() - sender->txPos_;
    if (available == 0) {
        if (sender->txTaken_ < sender->txAnnounced_) {
            sender->txPaused_ = true;
            return CURL_READFUNC_PAUSE;
        }
        return 0;
    }
    const size_t n = std::min(room, available);
    std::memcpy(data, sender->tx_.data() + sender->txPos_, n);
    sender->txPos_ += n;
    sender->txTaken_ += n;
    sender->progress_ += n;
    if (sender->txPos_ == sender->tx_.size()) {
        sender->tx_.clear();
        sender->txPos_ = 0;
    }
    return n;
}

int CHttpSender::OnDebug(CURL*, int type, char*, size_t, void* self) {
    if (type == CURLINFO_HEADER_OUT) {
        static_cast<CHttpSender*>(self)->headerOut_ = true;
    }
    return 0;
}

void CHttpSender::Resume() {
    if (!requestOpen_ || (!rxPaused_ && !txPaused_)) {
        return;
    }
    // curl_easy_pause sets the whole state, so a direction that must stay paused is named.
    const bool keepRx = rxPaused_ && rx_.size() - rxPos_ >= kRxPauseThreshold;
    const bool keepTx = txPaused_ && tx_.size() == txPos_;
    rxPaused_ = keepRx;
    txPaused_ = keepTx;
    curl_easy_pause(easy_, (keepRx ? CURLPAUSE_RECV : 0) | (keepTx ? CURLPAUSE_SEND : 0));
}

bool CHttpSender::RequestSent() const {
    return headersDone_ || transferDone_ || (headerOut_ && tx_.size() == txPos_);
}

bool CHttpSender::Drive(bool (CHttpSender::*ready)() const) {
    if (!requestOpen_) {
        lastError_ = kErrorIncorrectHandleState;
        return false;
    }
    uint64_t deadline = TickMs() + timeLimitMs_;
    uint64_t seen = progress_;
    for (;;) {
        if (aborted_.load()) {
            lastError_ = kErrorOperationCancelled;
            return false;
        }
        if ((this->*ready)()) {
            return true;
        }
        if (transferDone_) {
            if (transferResult_ != CURLE_OK) {
                lastError_ = ErrorFromCurl(transferResult_);
                return false;
            }
            return true;  // the answer is complete; the caller sees what there is
        }
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK) {
            lastError_ = kErrorInternal;
            return false;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
                transferDone_ = true;
                transferResult_ = message->data.result;
            }
        }
        if (progress_ != seen) {
            seen = progress_;
            deadline = TickMs() + timeLimitMs_;
        }
        if ((this->*ready)() || transferDone_) {
            continue;
        }
        const uint64_t now = TickMs();
        if (timeLimitMs_ != 0 && now >= deadline) {
            lastError_ = kErrorTimeout;
            return false;
        }
        const uint64_t wait = timeLimitMs_ == 0 ? 1000 : std::min<uint64_t>(deadline - now, 1000);
        curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait), nullptr);
    }
}

uint32_t CHttpSender::OfferedScheme() const {
    for (const auto& [name, value] : responseHeaders_) {
        if (EqualsNoCase(name, "WWW-Authenticate")) {
            const size_t blank = value.find(' ');
            const uint32_t scheme = SchemeFromName(value.substr(0, blank));
            if (scheme != kAuthNone) {
                return scheme;
            }
        }
    }
    return kAuthNone;
}

std::string CHttpSender::GetResponseHeader(std::string_view name) const {
    for (const auto& [key, value] : responseHeaders_) {
        if (EqualsNoCase(key, name)) {
            return value;
        }
    }
    return {};
}

void CHttpSender::ProcessHeaders() {
    if (headersProcessed_) {
        return;
    }
    headersProcessed_ = true;
    statusCode_ = rawStatus_;
    if (statusCode_ == 401) {
        // The challenge of the scheme the device prefers; its first one otherwise.
        const uint32_t offered = OfferedScheme();
        std::string challenge;
        for (const auto& [name, value] : responseHeaders_) {
            if (EqualsNoCase(name, "WWW-Authenticate")) {
                if (challenge.empty()) {
                    challenge = value;
                }
                const size_t blank = value.find(' ');
                if (SchemeFromName(value.substr(0, blank)) == offered) {
                    challenge = value;
                    break;
                }
            }
        }
        (void)auth_.ParseChallenge(challenge);
    } else if ((statusCode_ == 200 || statusCode_ == 204) && chosenScheme_ == kAuthDigest) {
        const std::string info = GetResponseHeader("Authentication-Info");
        if (!info.empty()) {
            (void)auth_.ParseAuthenticationInfo(info);
        }
    }
    contentLength_ = 0;
    if (statusCode_ != 204) {
        contentLength_ = vornak::ParseDecimal(GetResponseHeader("Content-Length")).value_or(0);
    }
}

CHttpSender::Attempt CHttpSender::FailAttempt(bool fatal) {
    CloseRequest();
    return fatal ? Attempt::kFailed : Attempt::kOtherProtocol;
}

bool CHttpSender::SetOptions(const HttpRequest& request, uint32_t scheme, bool useCredentials) {
    const bool https = request.scheme == kSchemeHttps;
    const std::string url = std::string(https ? "https://" : "http://") +
                            HostForUrl(device_.address) + ":" + std::to_string(device_.port) +
                            EscapePath(request.path);
    followRedirects_ = (request.flags & kFlagNoRedirect) == 0;
    curlAuth_ = useCredentials &&
                (scheme == kAuthNtlm || scheme == kAuthNegotiate || scheme == kAuthPassport);

    CURL* e = easy_;
    curl_easy_reset(e);
    bool ok = curl_easy_setopt(e, CURLOPT_URL, url.c_str()) == CURLE_OK;
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_USERAGENT, userAgent_.c_str());
    // An empty proxy text also keeps proxies named in the environment away.
    curl_easy_setopt(e, CURLOPT_PROXY, device_.proxy.c_str());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeLimitMs_));
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, followRedirects_ ? 1L : 0L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &CHttpSender::OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &CHttpSender::OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, &CHttpSender::OnDebug);
    curl_easy_setopt(e, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
    if (https && (request.flags & kFlagAnyCertificate) != 0) {
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    if (curlAuth_) {
        const long mask = scheme == kAuthNtlm        ? static_cast<long>(CURLAUTH_NTLM)
                          : scheme == kAuthNegotiate ? static_cast<long>(CURLAUTH_NEGOTIATE)
                                                     : static_cast<long>(CURLAUTH_NONE);
        ok = ok && mask != static_cast<long>(CURLAUTH_NONE) &&
             curl_easy_setopt(e, CURLOPT_HTTPAUTH, mask) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_USERNAME, device_.userName.c_str()) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_PASSWORD, device_.password.c_str()) == CURLE_OK;
    }

    // Body: announced length, what we have now, and the rest later through WriteData.
    const uint64_t total = std::max<uint64_t>(request.body.size(), request.totalLength);
    tx_ = request.body;
    txAnnounced_ = total;
    if (request.verb == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (CarriesBody(request)) {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(total));
        curl_easy_setopt(e, CURLOPT_READFUNCTION, &CHttpSender::OnUpload);
        curl_easy_setopt(e, CURLOPT_READDATA, this);
        if (request.verb != "POST") {
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request.verb.c_str());
        }
    } else if (request.verb != "GET") {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request.verb.c_str());
    }
    return ok;
}

bool CHttpSender::SetHeaders(const HttpRequest& request, uint32_t scheme, bool useCredentials) {
    // Our own Authorization first, then the caller's lines, which replace ours.
    std::vector<std::string> lines;
    if (useCredentials && (scheme == kAuthBasic || scheme == kAuthDigest)) {
        const std::string path = EscapePath(request.path);
        std::string authorization;
        if (scheme == kAuthDigest) {
            authorization = auth_.BuildAuthorization(request.verb, path, device_.userName,
                                                     device_.password, request.body);
        } else {
            CAuthentication basic;
            (void)basic.ParseChallenge("Basic ");
            authorization =
                basic.BuildAuthorization(request.verb, path, device_.userName, device_.password);
        }
        if (!authorization.empty()) {
            lines.push_back(authorization);
        }
    }
    bool callerContentType = false;
    for (const std::string& header : request.headers) {
        if (header.empty()) {
            continue;
        }
        if (vornak::HasLineEnd(header)) {
            return false;
        }
        const std::string name = vornak::ToLower(header.substr(0, header.find(':')));
        callerContentType = callerContentType || name == "content-type";
        lines.push_back(header);
    }
    if (CarriesBody(request)) {
        lines.emplace_back("Expect:");  // no 100-continue round trip
        if (!callerContentType) {
            lines.emplace_back("Content-Type:");  // send none unless the caller names one
        }
    }
    for (const std::string& line : lines) {
        curl_slist* grown = curl_slist_append(headerList_, line.c_str());
        if (grown == nullptr) {
            return false;
        }
        headerList_ = grown;
    }
    return curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headerList_) == CURLE_OK;
}

CHttpSender::Attempt CHttpSender::AwaitSent() {
    if (!Drive(&CHttpSender::RequestSent)) {
        // Nothing came back yet: a failure here is on the way out.
        return FailAttempt(lastError_ == kErrorTimeout || lastError_ == kErrorOperationCancelled);
    }
    if (!headersDone_ && transferDone_ && transferResult_ != CURLE_OK) {
        lastError_ = ErrorFromCurl(transferResult_);
        return FailAttempt(lastError_ == kErrorTimeout);
    }
    return Attempt::kOpen;
}

CHttpSender::Attempt CHttpSender::AwaitAnswer() {
    if (!Drive(&CHttpSender::HeadersReady) || !headersDone_) {
        if (lastError_ == kErrorNone) {
            lastError_ = kErrorInvalidServerResponse;  // ended without a whole header
        }
        // Only a failure on the way to the device may mean the other protocol is wanted.
        const bool fatal = lastError_ == kErrorOperationCancelled || lastError_ == kErrorTimeout ||
                           (headerOut_ && lastError_ == kErrorInvalidServerResponse);
        return FailAttempt(fatal);
    }
    ProcessHeaders();
    return Attempt::kOpen;
}

CHttpSender::Attempt CHttpSender::AfterChallenge(uint32_t used, uint32_t attempt) {
    const uint32_t offered = OfferedScheme();
    CloseRequest();
    statusCode_ = 401;
    if (offered == kAuthNone || attempt >= kMaxAttempts) {
        return Attempt::kFailed;
    }
    chosenScheme_ = offered;
    if (offered != used) {
        return Attempt::kChallenged;
    }
    // The same scheme again: only a Digest nonce may have gone stale meanwhile.
    return offered == kAuthDigest && attempt < kDigestAttempts ? Attempt::kChallenged
                                                               : Attempt::kFailed;
}

CHttpSender::Attempt CHttpSender::Send(const HttpRequest& request, uint32_t attempt) {
    CloseRequest();
    statusCode_ = contentLength_ = lastError_ = 0;
    if (multi_ == nullptr || easy_ == nullptr || request.verb.empty() || request.path.empty() ||
        request.path.front() != '/') {
        lastError_ = kErrorInternal;
        return Attempt::kFailed;
    }
    const bool haveCredentials = !device_.userName.empty() && request.authType != kAuthNone;
    // The scheme of this attempt: the one the device asked for, else the request's own.
    uint32_t scheme = chosenScheme_ != kAuthNone ? chosenScheme_ : request.authType;
    if (scheme > kAuthNegotiate) {
        scheme = kAuthBasic;
    }
    // Credentials wait for the device's challenge, so that a password never goes out in a
    // scheme the device did not ask for; and once HTTPS has failed, whatever answers on plain
    // HTTP may be an interceptor, so it gets no Basic password either.
    const bool useCredentials =
        haveCredentials && chosenScheme_ != kAuthNone &&
        !(scheme == kAuthBasic && request.scheme != kSchemeHttps && fellBackToHttp_);
    if (!SetOptions(request, scheme, useCredentials) ||
        !SetHeaders(request, scheme, useCredentials) ||
        curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
        lastError_ = kErrorInternal;
        return FailAttempt(true);
    }
    requestOpen_ = true;

    if (request.body.size() < request.totalLength || (request.flags & kFlagNoResponseWait) != 0) {
        return AwaitSent();
    }
    const Attempt answer = AwaitAnswer();
    if (answer != Attempt::kOpen || statusCode_ != 401) {
        return answer;
    }
    // Credentials held back until the first challenge count as no scheme, so that the challenge
    // brings them; otherwise the scheme stands as tried, sent or not, and a device that asks
    // again for it is not asked once more.
    return AfterChallenge(
        haveCredentials && !useCredentials && chosenScheme_ == kAuthNone ? kAuthNone : scheme,
        attempt);
}

bool CHttpSender::SendRequest(const HttpRequest& request) {
    HttpRequest copy = request;
    aborted_.store(false);
    if (cancelEvent_ != nullptr && cancelEvent_->IsSet()) {
        aborted_.store(true);
    }
    copy.scheme = useHttps_ ? kSchemeHttps : kSchemeHttp;
    if ((copy.flags & kFlagResetAuth) != 0) {
        auth_.ResetAuthentication();
        chosenScheme_ = kAuthNone;
    }
    Attempt result = Attempt::kFailed;
    bool switched = false;
    for (uint32_t attempt = 1; attempt <= kMaxAttempts; ++attempt) {
        result = Send(copy, attempt);
        if (result == Attempt::kOtherProtocol) {
            if (aborted_.load() || switched) {
                return false;
            }
            // A connection-level failure may be the wrong protocol for this port.
            switched = true;
            fellBackToHttp_ = fellBackToHttp_ || copy.scheme == kSchemeHttps;
            copy.scheme = copy.scheme == kSchemeHttps ? kSchemeHttp : kSchemeHttps;
            result = Send(copy, attempt);
        }
        if (result != Attempt::kChallenged || aborted_.load()) {
            break;
        }
    }
    if (result != Attempt::kOpen) {
        return false;
    }
    useHttps_ = copy.scheme == kSchemeHttps;
    return true;
}

bool CHttpSender::ResendIfChallenged(const HttpRequest& request, uint32_t attempt) {
    if (!requestOpen_ || aborted_.load()) {
        return false;
    }
    if (!headersDone_ && !transferDone_) {
        (void)WaitForData(0);  // moves what has arrived, without waiting
    }
    if (!headersDone_) {
        return false;
    }
    ProcessHeaders();
    // The scheme stands as tried: the request went out with the credentials of the last
    // challenge.
    if (statusCode_ != 401 || AfterChallenge(chosenScheme_, attempt) != Attempt::kChallenged) {
        return false;
    }
    return SendRequest(request);
}

void CHttpSender::Abort() {
    aborted_.store(true);
    if (multi_ != nullptr) {
        curl_multi_wakeup(multi_);
    }
}

bool CHttpSender::WaitForHeaders() {
    if (headersDone_) {
        ProcessHeaders();
        return true;
    }
    if (!Drive(&CHttpSender::HeadersReady) || !headersDone_) {
        if (lastError_ == kErrorNone) {
            lastError_ = kErrorInvalidServerResponse;
        }
        return false;
    }
    ProcessHeaders();
    return true;
}

uint32_t CHttpSender::TakeBuffered(std::vector<uint8_t>& data, uint32_t maximum) {
    const size_t n = std::min<size_t>(maximum, rx_.size() - rxPos_);
    data.insert(data.end(), rx_.begin() + static_cast<ptrdiff_t>(rxPos_),
                rx_.begin() + static_cast<ptrdiff_t>(rxPos_ + n));
    rxPos_ += n;
    if (rxPos_ == rx_.size()) {
        rx_.clear();
        rxPos_ = 0;
    } else if (rxPos_ >= kRxCompactAt) {
        // An endless stream is never read empty: drop what was read so the buffer stays small.
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<ptrdiff_t>(rxPos_));
        rxPos_ = 0;
    }
    Resume();
    return static_cast<uint32_t>(n);
}

uint32_t CHttpSender::QueryDataAvailable() {
    if (!requestOpen_ || aborted_.load()) {
        return 0;
    }
    if (rxPos_ == rx_.size() && !transferDone_) {
        int running = 0;
        curl_multi_perform(multi_, &running);
    }
    return static_cast<uint32_t>(rx_.size() - rxPos_);
}

uint32_t CBaseHttpSender::WaitForData(uint32_t waitMs) {
    const uint32_t available = QueryDataAvailable();
    if (available == 0 && waitMs != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(waitMs, 10)));
    }
    return available;
}

uint32_t CHttpSender::WaitForData(uint32_t waitMs) {
    const uint64_t end = TickMs() + waitMs;
    for (;;) {
        const uint32_t available = QueryDataAvailable();
        if (requestOpen_ && !transferDone_) {
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
                if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
                    transferDone_ = true;
                    transferResult_ = message->data.result;
                }
            }
        }
        if (available != 0 || !requestOpen_ || aborted_.load() || transferDone_) {
            return available;
        }
        const uint64_t now = TickMs();
        if (now >= end) {
            return 0;
        }
        // Woken at once by arriving data or by Abort from another thread.
        curl_multi_poll(multi_, nullptr, 0, static_cast<int>(std::min<uint64_t>(end - now, 1000)),
                        nullptr);
    }
}

uint32_t CHttpSender::ReadData(std::vector<uint8_t>& data, uint32_t maximum, bool clearFirst) {
    if (clearFirst) {
        data.clear();
    }
    if (!requestOpen_ || maximum == 0) {
        return 0;
    }
    if (aborted_.load()) {
        lastError_ = kErrorOperationCancelled;
        CloseRequest();
        return 0;
    }
    if (!WaitForHeaders()) {
        if (lastError_ == kErrorOperationCancelled) {
            CloseRequest();
        }
        return 0;
    }
    if (!Drive(&CHttpSender::DataReady)) {
        if (lastError_ == kErrorOperationCancelled) {
            CloseRequest();
        }
        return TakeBuffered(data, maximum);
    }
    if (rxPos_ == rx_.size() && transferDone_ && transferResult_ != CURLE_OK) {
        lastError_ = ErrorFromCurl(transferResult_);  // e.g. a body cut short
    }
    return TakeBuffered(data, maximum);
}

uint32_t CHttpSender::ReadResponse(std::vector<uint8_t>& data) {
    data.clear();
    if (!requestOpen_) {
        return 0;
    }
    if (!WaitForHeaders()) {
        return 0;
    }
    const uint32_t budget =
        contentLength_ != 0 ? std::min(contentLength_, kMaxWholeBody) : kUnknownLengthBudget;
    while (data.size() < budget && requestOpen_) {
        const uint32_t want =
            std::min<uint32_t>(kReadChunk, budget - static_cast<uint32_t>(data.size()));
        if (ReadData(data, want, false) == 0) {
            break;
        }
    }
    return static_cast<uint32_t>(data.size());
}

bool CHttpSender::WriteData(std::span<const uint8_t> bytes) {
    if (!requestOpen_ || headersDone_ || transferDone_) {
        lastError_ = kErrorIncorrectHandleState;
        return false;
    }
    if (txTaken_ + (tx_.size() - txPos_) + bytes.size() > txAnnounced_) {
        lastError_ = kErrorInternal;  // more than the request announced
        return false;
    }
    tx_.insert(tx_.end(), bytes.begin(), bytes.end());
    Resume();
    if (!Drive(&CHttpSender::UploadDrained)) {
        if (lastError_ == kErrorOperationCancelled) {
            CloseRequest();
        }
        return false;
    }
    if (transferDone_ && transferResult_ != CURLE_OK) {
        lastError_ = ErrorFromCurl(transferResult_);
        return false;
    }
    return tx_.size() == txPos_;
}

bool CHttpSender::ReceiveResponse() {
    if (!requestOpen_) {
        lastError_ = kErrorIncorrectHandleState;
        return false;
    }
    if (!WaitForHeaders()) {
        if (lastError_ == kErrorOperationCancelled) {
            CloseRequest();
        }
        return false;
    }
    return true;
}

}  // namespace Web
