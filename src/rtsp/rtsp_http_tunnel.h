// RTSP tunnelled through HTTP: a long-lived GET carries everything from the camera, each request
// goes up as a Base64 POST, and a session cookie ties the two together.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/sync.h"
#include "base/thread.h"
#include "driver/device_info.h"
#include "rtsp/rtsp_answer_reader.h"
#include "rtsp/rtsp_client.h"
#include "rtsp/rtsp_stream_parser.h"
#include "web/http_sender.h"

namespace vornak {

class IResponseReceiver {
  public:
    virtual ~IResponseReceiver() = default;
    virtual void OnResponse(const std::string& text) = 0;
    virtual std::string GetResponse() = 0;
    virtual bool IsWaitingForResponse() = 0;
    virtual void OnData(const std::vector<uint8_t>& bytes) = 0;
};

// Makes the HTTP senders of both legs; tests hand in scripted ones.
using HttpSenderFactory = std::function<std::unique_ptr<Web::CBaseHttpSender>(
    const DEVICE_INFO& device, const std::string& userAgent)>;

// Runs the GET leg: sends the GET, reads what the camera streams back and hands it on; sends the
// GET again when the stream ends.
class CRTSPHTTPReceiver : public CBaseThread {
  public:
    CRTSPHTTPReceiver(IDebugMessage* debug, std::string ownerName, const DEVICE_INFO& device,
                      const HttpSenderFactory& factory);
    ~CRTSPHTTPReceiver() override;

    // `receiver` is borrowed and must outlive the thread.
    bool Open(IResponseReceiver* receiver, const std::string& path, const std::string& cookie);
    void Close();
    // Set once a GET has been answered with 200 or 201.
    CEvent& Connected() { return connected_; }
    Web::CBaseHttpSender* Sender() { return sender_.get(); }

  protected:
    void ThreadFunction() override;

  private:
    void ReadLoop();

    std::string ownerName_;
    DEVICE_INFO device_;
    std::unique_ptr<Web::CBaseHttpSender> sender_;  // owned; used by the thread, aborted by Close
    IResponseReceiver* receiver_ = nullptr;
    std::string path_;
    std::string cookie_;
    CManualEvent connected_;
};

class CRTSPClientHTTP : public CBaseRTSPClient, public IResponseReceiver {
  public:
    CRTSPClientHTTP(IDebugMessage* debug, std::string ownerName);
    ~CRTSPClientHTTP() override;

    bool SendRequest(uint32_t method) override;
    bool Start(const RTSPClientSettings& settings, IRTSPClientUser* user) override;
    bool Stop() override;

    void OnResponse(const std::string& text) override;
    std::string GetResponse() override;
    bool IsWaitingForResponse() override;
    void OnData(const std::vector<uint8_t>& bytes) override;

    // Tests replace both before Start; they must outlive the client.
    void SetHttpSenderFactory(HttpSenderFactory factory) { senderFactory_ = std::move(factory); }
    void SetRandomSource(IRandomSource* random) { random_ = random; }
    const std::string& Cookie() const { return cookie_; }

  protected:
    void ThreadFunction() override;

    bool SendInStream(const std::string& bytes) override;

  private:
    std::string TunnelPath() const;
    Web::HttpRequest TunnelPost(const std::string& bytes) const;
    bool SendPost(const Web::HttpRequest& post);
    void ResendRefusedPost();
    // Bytes of the GET stream: to the answer reader while an answer is awaited, else to the
    // stream parser.
    void TakeBytes(std::span<const uint8_t> bytes);

    HttpSenderFactory senderFactory_;
    IRandomSource* random_;
    std::unique_ptr<CRTSPHTTPReceiver> receiver_;
    std::unique_ptr<Web::CBaseHttpSender> postSender_;
    // The POST sent last and how often: a camera answers one only to refuse it. Session thread.
    Web::HttpRequest lastPost_;
    uint32_t lastPostSends_ = 0;
    std::string cookie_;
    CEvent responseArrived_{false};
    CLock lock_;
    std::string lastResponse_;
    CRTSPAnswerReader answerReader_;  // under lock_
    bool waitingForResponse_ = false;
    std::unique_ptr<CRTSPStreamParser>
        streamParser_;  // under lock_; exists from SETUP to PLAY's end
};

}  // namespace vornak
