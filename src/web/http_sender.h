// Synchronous HTTP/1.1 client for one device: one connection, at most one open request, body
// read whole or in pieces, streamed uploads, and an Abort that other threads may call.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/sync.h"
#include "driver/device_info.h"
#include "web/authentication.h"

using CURL = void;
using CURLM = void;
struct curl_slist;

namespace Web {

enum : uint32_t { kSchemeHttp = 0, kSchemeHttps = 1 };

// Authentication types of a request and schemes chosen by the device.
enum : uint32_t {
    kAuthBasic = 0,
    kAuthNtlm = 1,
    kAuthPassport = 2,
    kAuthDigest = 3,
    kAuthNegotiate = 4,
    kAuthNone = 5,
};

enum : uint32_t {
    kFlagKeepQuery = 1,       // query sent as given (bytes curl cannot send are still escaped)
    kFlagAnyCertificate = 2,  // HTTPS: accept self-signed, expired and misnamed certificates
    kFlagNoRedirect = 4,      // do not follow Location answers
    kFlagNoResponseWait = 8,  // SendRequest returns once the request is out
    kFlagResetAuth = 16,      // forget the authentication state before sending
    kDefaultRequestFlags = 7,
};

// Error codes kept by GetLastErrorCode; the values of the platform service the driver was
// first written on, so callers and logs read the same everywhere.
enum : uint32_t {
    kErrorNone = 0,
    kErrorTimeout = 12002,
    kErrorInternal = 12004,
    kErrorNameNotResolved = 12007,
    kErrorLoginFailure = 12015,
    kErrorOperationCancelled = 12017,
    kErrorIncorrectHandleState = 12019,
    kErrorCannotConnect = 12029,
    kErrorConnectionError = 12030,
    kErrorInvalidServerResponse = 12152,
    kErrorSecureFailure = 12175,
};

struct HttpRequest {
    std::string verb;
    std::string path;  // object name with query, e.g. "/axis-cgi/param.cgi?action=list"
    uint32_t scheme = kSchemeHttp;  // replaced by the sender's own choice
    uint32_t authType = kAuthBasic;
    std::vector<uint8_t> body;
    uint32_t totalLength = 0;          // above the body size: the rest follows through WriteData
    std::vector<std::string> headers;  // whole lines without line end
    uint32_t flags = kDefaultRequestFlags;
};

// A GET for the path with default settings.
[[nodiscard]] HttpRequest MakeGetRequest(std::string path);

class CBaseHttpSender {
  public:
    explicit CBaseHttpSender(const vornak::DEVICE_INFO& device) : device_(device) {}
    virtual ~CBaseHttpSender() = default;                                    // 0
    virtual bool SendRequest(const HttpRequest& request) = 0;                // 1
    virtual void Abort() = 0;                                                // 2
    virtual uint32_t QueryDataAvailable() = 0;                               // 3
    virtual uint32_t ReadResponse(std::vector<uint8_t>& data) = 0;           // 4
    virtual uint32_t ReadData(std::vector<uint8_t>& data, uint32_t maximum,  // 5
                              bool clearFirst) = 0;
    // Bytes readable at once, waiting up to waitMs for the first of them (0 when none came).
    virtual uint32_t WaitForData(uint32_t waitMs);  // 6
    // The answer has ended (or the request is closed): nothing more will arrive.
    virtual bool IsResponseComplete() const { return false; }  // 7
    // Ends the open request, if any.
    virtual void Close() {}  // 8

    uint32_t GetStatusCode() const { return statusCode_; }
    uint32_t GetContentLength() const { return contentLength_; }
    uint32_t GetLastErrorCode() const { return lastError_; }
    const vornak::DEVICE_INFO& GetDevice() const { return device_; }

  protected:
    vornak::DEVICE_INFO device_;
    uint32_t statusCode_ = 0;
    uint32_t contentLength_ = 0;
    uint32_t lastError_ = 0;
};

class CHttpSender : public CBaseHttpSender {
  public:
    static constexpr const char* kDefaultUserAgent = "Vornak HTTP Sender";
    // A whole-body read stops here when the device names no length.
    static constexpr uint32_t kUnknownLengthBudget = 1048576;
    static constexpr uint32_t kReadChunk = 8192;

    CHttpSender(const vornak::DEVICE_INFO& device, std::string userAgent,
                ClientNonceSource nonceSource = {});
    CHttpSender(const vornak::DEVICE_INFO& device, uint32_t timeLimitMs);
    ~CHttpSender() override;
    CHttpSender(const CHttpSender&) = delete;
    CHttpSender& operator=(const CHttpSender&) = delete;

    bool SendRequest(const HttpRequest& request) override;
    // Safe from any thread: a read, write or send blocked on the owner's thread returns at once.
    void Abort() override;
    uint32_t QueryDataAvailable() override;
    uint32_t ReadResponse(std::vector<uint8_t>& data) override;
    uint32_t ReadData(std::vector<uint8_t>& data, uint32_t maximum, bool clearFirst) override;
    uint32_t WaitForData(uint32_t waitMs) override;
    bool IsResponseComplete() const override {
        return !requestOpen_ || transferDone_ || aborted_.load();
    }

    // The connection stays for the next request when it is clean.
    void Close() override { CloseRequest(); }

    // For a request sent with kFlagNoResponseWait, looked at without waiting: when the device
    // has since refused it with a challenge worth another attempt (a Digest nonce gone stale),
    // sends `request` again under that challenge. `attempt` counts its sends so far. True when
    // it went out again; otherwise GetStatusCode() is that of the answer, 0 while none came.
    bool ResendIfChallenged(const HttpRequest& request, uint32_t attempt);

    // More request body on an open request; true only when every byte was taken.
    bool WriteData(std::span<const uint8_t> bytes);
    // After the last WriteData: waits for the answer's headers.
    bool ReceiveResponse();

    // First response header of that name (case-insensitive), blanks trimmed; empty when absent.
    [[nodiscard]] std::string GetResponseHeader(std::string_view name) const;
    [[nodiscard]] bool IsUsingHttps() const { return useHttps_; }
    // Tests start HTTPS on a port other than 443 with this.
    void SetUseHttps(bool https) { useHttps_ = https; }
    // Borrowed event, checked as the request starts: an owner's stop event set before an Abort
    // that came too early still cancels the request. Must outlive the sender's use.
    void SetCancelEvent(vornak::CEvent* event) { cancelEvent_ = event; }
    CAuthentication& GetAuthentication() { return auth_; }
    // Bytes the receive buffer holds, read or not (its footprint).
    size_t GetBufferFootprint() const { return rx_.size(); }
    // Takes over what another sender negotiated with the same device (scheme, Digest challenge,
    // nonce count), for requests whose answers never come back to carry a challenge.
    void AdoptAuthentication(const CHttpSender& other) {
        auth_ = other.auth_;
        chosenScheme_ = other.chosenScheme_;
    }
    // Scheme the device chose (kAuth*), or kAuthNone before any challenge.
    uint32_t GetChosenScheme() const { return chosenScheme_; }

  private:
    // How one attempt of a request ended.
    enum class Attempt {
        kOpen,           // the answer's headers are in (or the request is out, for streaming)
        kFailed,         // final: nothing more to try
        kOtherProtocol,  // failed on the way to the device: HTTP <-> HTTPS may work
        kChallenged,     // 401 with a scheme worth another attempt
    };

    void OpenSession();
    void CloseRequest();
    Attempt Send(const HttpRequest& request, uint32_t attempt);
    bool SetOptions(const HttpRequest& request, uint32_t scheme, bool useCredentials);
    bool SetHeaders(const HttpRequest& request, uint32_t scheme, bool useCredentials);
    Attempt AwaitSent();
    Attempt AwaitAnswer();
    Attempt AfterChallenge(uint32_t usedScheme, uint32_t attempt);
    Attempt FailAttempt(bool fatal);
    bool Drive(bool (CHttpSender::*ready)() const);
    bool HeadersReady() const { return headersDone_; }
    bool RequestSent() const;
    bool DataReady() const { return rxPos_ < rx_.size() || transferDone_; }
    bool UploadDrained() const { return txPos_ >= tx_.size() || headersDone_; }
    bool WaitForHeaders();
    void ProcessHeaders();
    uint32_t OfferedScheme() const;
    void Resume();
    uint32_t TakeBuffered(std::vector<uint8_t>& data, uint32_t maximum);

    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static size_t OnBody(char* data, size_t size, size_t count, void* self);
    static size_t OnUpload(char* data, size_t size, size_t count, void* self);
    static int OnDebug(CURL* handle, int type, char* data, size_t size, void* self);

    std::string userAgent_;
    uint32_t timeLimitMs_;
    CAuthentication auth_;
    uint32_t chosenScheme_ = kAuthNone;
    bool useHttps_;
    bool fellBackToHttp_ = false;  // HTTPS failed at connection level and HTTP took over
    std::atomic<bool> aborted_{false};
    vornak::CEvent* cancelEvent_ = nullptr;  // borrowed, see SetCancelEvent

    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    curl_slist* headerList_ = nullptr;
    bool requestOpen_ = false;  // the easy handle is in the multi handle
    bool curlAuth_ = false;     // curl runs an NTLM or Negotiate handshake itself
    bool followRedirects_ = false;
    bool headerOut_ = false;
    bool headersDone_ = false;
    bool headersProcessed_ = false;
    bool transferDone_ = false;
    int transferResult_ = 0;
    uint64_t progress_ = 0;  // bytes moved either way; resets the idle limit
    uint32_t rawStatus_ = 0;
    std::vector<std::pair<std::string, std::string>> responseHeaders_;

    std::vector<uint8_t> rx_;
    size_t rxPos_ = 0;
    bool rxPaused_ = false;

    std::vector<uint8_t> tx_;
    size_t txPos_ = 0;
    uint64_t txAnnounced_ = 0;  // total body length announced in the request
    uint64_t txTaken_ = 0;      // bytes handed to curl so far
    bool txPaused_ = false;
};

}  // namespace Web
