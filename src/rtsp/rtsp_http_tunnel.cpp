#include "rtsp/rtsp_http_tunnel.h"

#include <algorithm>

#include "web/codec.h"

namespace vornak {

namespace {
constexpr uint32_t kTunnelTimeLimitMs = 2000;
constexpr uint32_t kIdlePollMs = 50;
constexpr uint32_t kRetryWaitMs = 1000;
constexpr uint32_t kMinConnectWaitMs = 1000;
constexpr uint32_t kReadChunk = 8192;
constexpr uint32_t kPlayWaitStepMs = 1000;
// How long a stopping client waits for the answer to its TEARDOWN: a healthy camera answers well
// within it, and a stop does not wait for one that has gone quiet.
constexpr uint32_t kStoppingAnswerWaitMs = 500;
constexpr const char* kSenderUserAgent = "Vornak HTTP Sender";
constexpr const char* kTunnelType = "application/x-rtsp-tunnelled";

HttpSenderFactory DefaultFactory() {
    return [](const DEVICE_INFO& device, const std::string& userAgent) {
        return std::make_unique<Web::CHttpSender>(device, userAgent);
    };
}
}  // namespace

CRTSPHTTPReceiver::CRTSPHTTPReceiver(IDebugMessage* debug, std::string ownerName,
                                     const DEVICE_INFO& device, const HttpSenderFactory& factory)
    : CBaseThread(debug),
      ownerName_(std::move(ownerName)),
      device_(device),
      sender_(factory(device, kSenderUserAgent)) {
    if (auto* sender = dynamic_cast<Web::CHttpSender*>(sender_.get())) {
        sender->SetCancelEvent(&stopEvent_);
    }
}

CRTSPHTTPReceiver::~CRTSPHTTPReceiver() {
    Close();
}

bool CRTSPHTTPReceiver::Open(IResponseReceiver* receiver, const std::string& path,
                             const std::string& cookie) {
    if (!sender_ || receiver == nullptr) {
        return false;
    }
    receiver_ = receiver;
    path_ = path;
    cookie_ = cookie;
    connected_.Reset();
    return StartThread(Format("RTSP HTTP Receiver Thread (%s)", ownerName_.c_str()));
}

void CRTSPHTTPReceiver::Close() {
    stopEvent_.Set();
    if (sender_) {
        sender_->Abort();
    }
    StopThread(2 * kTunnelTimeLimitMs);
}

void CRTSPHTTPReceiver::ThreadFunction() {
    while (!stopEvent_.IsSet()) {
        Web::HttpRequest get;
        get.verb = "GET";
        get.path = path_;
        get.flags = Web::kFlagKeepQuery | Web::kFlagNoRedirect;
        get.headers = {"x-sessioncookie: " + cookie_, std::string("Accept: ") + kTunnelType};
        if (sender_->SendRequest(get) &&
            (sender_->GetStatusCode() == 200 || sender_->GetStatusCode() == 201)) {
            connected_.Set();
            ReadLoop();
        } else if (debug_ != nullptr && !stopEvent_.IsSet()) {
            debug_->DebugMessage(kLogWarning,
                                 "vornak::CRTSPHTTPReceiver::ThreadFunction: tunnel GET %s "
                                 "failed (status %u, error %u)",
                                 path_.c_str(), sender_->GetStatusCode(),
                                 sender_->GetLastErrorCode());
        }
        sender_->Abort();
        // A camera that refuses the GET is not asked again at once.
        stopEvent_.Wait(kRetryWaitMs);
    }
}

void CRTSPHTTPReceiver::ReadLoop() {
    std::vector<uint8_t> data;
    while (!stopEvent_.IsSet()) {
        // Waiting here rather than in a read keeps a quiet but healthy stream from counting as
        // a failed read, and hands each packet on as soon as it arrives.
        if (sender_->WaitForData(kIdlePollMs) == 0) {
            if (stopEvent_.IsSet() || sender_->IsResponseComplete()) {
                return;
            }
            continue;
        }
        if (sender_->ReadData(data, kReadChunk, true) == 0) {
            return;
        }
        if (receiver_->IsWaitingForResponse()) {
            receiver_->OnResponse(std::string(data.begin(), data.end()));
        } else {
            receiver_->OnData(data);
        }
    }
}

CRTSPClientHTTP::CRTSPClientHTTP(IDebugMessage* debug, std::string ownerName)
    : CBaseRTSPClient(debug, std::move(ownerName), kTransportHttp),
      senderFactory_(DefaultFactory()),
      random_(&SystemRandomSource()) {}

CRTSPClientHTTP::~CRTSPClientHTTP() {
    Stop();
}

std::string CRTSPClientHTTP::TunnelPath() const {
    return settings_.path.empty() || settings_.path.front() != '/' ? "/" + settings_.path
                                                                   : settings_.path;
}

bool CRTSPClientHTTP::Start(const RTSPClientSettings& settings, IRTSPClientUser* user) {
    Stop();
    settings_ = settings;
    // The cookie only has to be unpredictable and distinct between clients of one camera.
    uint32_t random = 0;
    random_->Fill(&random, sizeof(random));
    cookie_ = Format("%u", random);

    DEVICE_INFO device;
    device.address = settings.host;
    device.port = settings.port;
    device.userName = settings.userName;
    device.password = settings.password;
    device.proxy = settings.proxy;
    device.networkTimeout = kTunnelTimeLimitMs;
    receiver_ = std::make_unique<CRTSPHTTPReceiver>(debug_, ownerName_, device, senderFactory_);
    postSender_ = senderFactory_(device, kSenderUserAgent);
    lastPostSends_ = 0;
    {
        CLockGuard guard(lock_);
        answerReader_.Clear();
        waitingForResponse_ = false;
    }
    CManualEvent never;
    CEvent* connectedOrCancelled[] = {&receiver_->Connected(),
                                      settings.cancel != nullptr ? settings.cancel : &never};
    if (!postSender_ || !receiver_->Open(this, TunnelPath(), cookie_) ||
        CEvent::WaitForMultiple(connectedOrCancelled, 2,
                                std::max(settings.connectTimeoutMs, kMinConnectWaitMs)) != 0) {
        if (debug_ != nullptr) {
            debug_->DebugMessage(kLogWarning, "vornak::CRTSPClientHTTP::Start: no tunnel to %s:%u",
                                 settings.host.c_str(), settings.port);
        }
        Stop();
        return false;
    }
    // The camera answers a POST only to refuse it, so a POST is not challenged up front: it
    // carries the authentication the GET negotiated.
    auto* get = dynamic_cast<Web::CHttpSender*>(receiver_->Sender());
    auto* post = dynamic_cast<Web::CHttpSender*>(postSender_.get());
    if (get != nullptr && post != nullptr) {
        post->AdoptAuthentication(*get);
    }
    if (!CBaseRTSPClient::Start(settings, user)) {
        Stop();
        return false;
    }
    return true;
}

bool CRTSPClientHTTP::Stop() {
    if (postSender_) {
        postSender_->Abort();
    }
    const bool stopped = CBaseRTSPClient::Stop();
    postSender_.reset();
    if (receiver_) {
        receiver_->Close();
        receiver_.reset();
    }
    CLockGuard guard(lock_);
    streamParser_.reset();
    return stopped;
}

Web::HttpRequest CRTSPClientHTTP::TunnelPost(const std::string& bytes) const {
    const std::string body = Web::EncodeText(bytes);
    Web::HttpRequest post;
    post.verb = "POST";
    post.path = TunnelPath();
    post.flags = Web::kFlagKeepQuery | Web::kFlagNoRedirect | Web::kFlagNoResponseWait;
    post.headers = {"x-sessioncookie: " + cookie_, std::string("Content-Type: ") + kTunnelType};
    post.body.assign(body.begin(), body.end());
    return post;
}

// A new POST ends the open one, and with it any answer still to come, so the last one is looked
// at first.
bool CRTSPClientHTTP::SendPost(const Web::HttpRequest& post) {
    ResendRefusedPost();
    lastPost_ = post;
    lastPostSends_ = 1;
    return postSender_->SendRequest(post);
}

// The POSTs carry the credentials the GET negotiated. Once the camera takes that nonce for stale
// it refuses them, and what they carry (keep-alives, receiver reports) would be lost until its
// session times out; the refusal brings a fresh challenge, under which the POST goes again.
void CRTSPClientHTTP::ResendRefusedPost() {
    auto* post = dynamic_cast<Web::CHttpSender*>(postSender_.get());
    if (post == nullptr || lastPostSends_ == 0) {
        return;
    }
    if (post->ResendIfChallenged(lastPost_, lastPostSends_)) {
        ++lastPostSends_;
        return;
    }
    const uint32_t status = post->GetStatusCode();
    if (status == 0) {
        return;  // unanswered, as it should be
    }
    if (status == 401 && debug_ != nullptr) {
        debug_->DebugMessage(kLogWarning,
                             "vornak::CRTSPClientHTTP::ResendRefusedPost: %s:%u refused a tunnel "
                             "POST (status 401, sent %u times)",
                             settings_.host.c_str(), settings_.port, lastPostSends_);
    }
    lastPostSends_ = 0;
}

// Answers to what is sent while media flows come in the GET stream among the media; the stream
// parser passes over them.
bool CRTSPClientHTTP::SendInStream(const std::string& bytes) {
    return postSender_ && !bytes.empty() && SendPost(TunnelPost(bytes));
}

bool CRTSPClientHTTP::SendRequest(uint32_t method) {
    const std::string request = BuildRequest(method);
    if (request.empty() || !postSender_) {
        return false;
    }
    const Web::HttpRequest post = TunnelPost(request);
    if (method == kRtspPlay) {
        // The answer arrives in the GET stream ahead of the media; the stream parser skips it.
        return SendPost(post);
    }
    responseArrived_.Reset();
    {
        CLockGuard guard(lock_);
        lastResponse_.clear();
        answerReader_.Clear();
        if (streamParser_) {
            // Media ends here: the answer (to TEARDOWN) comes after it in the GET stream, and
            // its reader starts at the last frame boundary, not inside the frame read last.
            answerReader_.Feed(streamParser_->Unparsed());
            streamParser_.reset();
        }
        waitingForResponse_ = true;
    }
    bool answered = false;
    if (SendPost(post)) {
        // A camera that never answers must not hold the session forever. TEARDOWN is sent when
        // stopping and waits for its answer all the same: the tunnel closes right after, and a
        // camera that sees the GET close first never reads the TEARDOWN from the other
        // connection.
        CEvent* events[] = {&responseArrived_, &stopEvent_};
        const uint32_t count = method == kRtspTeardown ? 1 : 2;
        const uint32_t waitMs = method == kRtspTeardown && stopEvent_.IsSet()
                                    ? std::min(settings_.receiveTimeoutMs, kStoppingAnswerWaitMs)
                                    : settings_.receiveTimeoutMs;
        answered = CEvent::WaitForMultiple(events, count, waitMs) == 0;
    }
    std::string response;
    {
        CLockGuard guard(lock_);
        waitingForResponse_ = false;
        response = lastResponse_;
    }
    if (!answered || response.empty()) {
        return false;
    }
    return parser_.Parse(method, response);
}

void CRTSPClientHTTP::OnResponse(const std::string& text) {
    TakeBytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void CRTSPClientHTTP::OnData(const std::vector<uint8_t>& bytes) {
    TakeBytes(bytes);
}

void CRTSPClientHTTP::TakeBytes(std::span<const uint8_t> bytes) {
    // The receiver picks OnResponse or OnData before it takes the lock, and the session thread
    // may start or stop waiting in between: the flag decides again here, so no byte is lost.
    CLockGuard guard(lock_);
    if (!waitingForResponse_) {
        if (streamParser_) {
            streamParser_->Feed(bytes);
        }
        return;
    }
    // An answer may come in several reads, and media may come ahead of it.
    const auto state = answerReader_.Feed(bytes);
    if (state == CRTSPAnswerReader::State::kComplete) {
        lastResponse_ = answerReader_.TakeAnswer();
        waitingForResponse_ = false;
        const std::string rest = answerReader_.TakeBuffered();
        if (streamParser_ && !rest.empty()) {
            streamParser_->Feed(std::span<const uint8_t>(
                reinterpret_cast<const uint8_t*>(rest.data()), rest.size()));
        }
        responseArrived_.Set();
    } else if (state != CRTSPAnswerReader::State::kNeedMore) {
        if (debug_ != nullptr) {
            debug_->DebugMessage(kLogWarning,
                                 "vornak::CRTSPClientHTTP::OnResponse: answer refused (%s)",
                                 CRTSPAnswerReader::RefusalReason(state));
        }
        answerReader_.Clear();
        waitingForResponse_ = false;
        responseArrived_.Set();  // with an empty answer: the request fails now
    }
}

std::string CRTSPClientHTTP::GetResponse() {
    CLockGuard guard(lock_);
    return lastResponse_;
}

bool CRTSPClientHTTP::IsWaitingForResponse() {
    CLockGuard guard(lock_);
    return waitingForResponse_;
}

void CRTSPClientHTTP::ThreadFunction() {
    pauseRequested_.Reset();
    playRequested_.Reset();
    if (ExecuteRequest(kRtspDescribe) && NotifyDescribe() && ExecuteRequest(kRtspSetup)) {
        {
            CLockGuard guard(lock_);
            // The tunnel always asks for interleaved=0-1.
            streamParser_ = std::make_unique<CRTSPStreamParser>(this, 0);
        }
        if (ExecuteRequest(kRtspPlay)) {
            while (!stopEvent_.Wait(kPlayWaitStepMs)) {
                ResendRefusedPost();
                StreamKeepAlive();
            }
        }
        ExecuteRequest(kRtspTeardown);
        CLockGuard guard(lock_);
        streamParser_.reset();
    }
    NotifyClosed();
}

}  // namespace vornak
