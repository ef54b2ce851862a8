// The RTSP transports that talk over one TCP connection to the camera: RTP over UDP (unicast or
// multicast) and RTP interleaved in the RTSP connection.
#pragma once

#include <functional>
#include <memory>

#include "rtsp/rtsp_answer_reader.h"
#include "rtsp/rtsp_client.h"
#include "rtsp/rtsp_connection.h"
#include "rtsp/rtsp_stream_parser.h"

namespace vornak {

using RTSPConnectionFactory = std::function<std::unique_ptr<IRTSPConnection>()>;

class CBaseRTSPClientTCP : public CBaseRTSPClient {
  public:
    CBaseRTSPClientTCP(IDebugMessage* debug, std::string ownerName, uint32_t transportKind);
    ~CBaseRTSPClientTCP() override;

    bool SendRequest(uint32_t method) override;
    bool Start(const RTSPClientSettings& settings, IRTSPClientUser* user) override;
    bool Stop() override;

    // Tests hand in a scripted peer; the default opens a TCP connection.
    void SetConnectionFactory(RTSPConnectionFactory factory) { factory_ = std::move(factory); }

  protected:
    void ThreadFunction() override { RunSession(); }
    // Reads one answer into `text`; false when the connection ends first or the answer is refused.
    bool ReadAnswer(std::string& text);

    RTSPConnectionFactory factory_;
    std::unique_ptr<IRTSPConnection> connection_;  // owned; used by the session thread only
    CRTSPAnswerReader reader_;
};

class CRTSPClientUDP : public CBaseRTSPClientTCP {
  public:
    CRTSPClientUDP(IDebugMessage* debug, std::string ownerName)
        : CBaseRTSPClientTCP(debug, std::move(ownerName), kTransportUdp) {}
    ~CRTSPClientUDP() override { Stop(); }
};

class CRTSPClientMulticast : public CBaseRTSPClientTCP {
  public:
    CRTSPClientMulticast(IDebugMessage* debug, std::string ownerName)
        : CBaseRTSPClientTCP(debug, std::move(ownerName), kTransportUdp) {}
    ~CRTSPClientMulticast() override { Stop(); }

    // Without the extended user the session runs without the multicast callbacks.
    bool Start(const RTSPClientSettings& settings, IRTSPClientUser* user) override;
    virtual bool Start(const RTSPClientSettings& settings, IRTSPClientUserEx* userEx);

  protected:
    bool OnSetupDone() override;
    void OnPlayDone() override;

    IRTSPClientUserEx* userEx_ = nullptr;  // borrowed
};

class CRTSPClientInterleaved : public CBaseRTSPClientTCP {
  public:
    CRTSPClientInterleaved(IDebugMessage* debug, std::string ownerName)
        : CBaseRTSPClientTCP(debug, std::move(ownerName), kTransportInterleaved) {}
    ~CRTSPClientInterleaved() override { Stop(); }

    bool SendRequest(uint32_t method) override;

  protected:
    bool PlayEndsSession() const override { return true; }
    bool SendInStream(const std::string& bytes) override;
    // Feeds the connection to a stream parser until it ends (true) or stop is set (false).
    bool ReceiveLoop();
};

}  // namespace vornak
