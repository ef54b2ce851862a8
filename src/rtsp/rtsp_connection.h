// The byte transport under the RTSP client: a TCP connection to the camera, or a scripted peer in
// tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace vornak {

struct RTSPClientSettings;

class IRTSPConnection {
  public:
    virtual ~IRTSPConnection() = default;
    virtual bool Open(const RTSPClientSettings& settings) = 0;
    // All of the text, or false.
    virtual bool Send(std::string_view text) = 0;
    // Bytes read (> 0); 0 when the peer closed; -1 on error or when the receive time-out ran out.
    virtual int Receive(std::span<uint8_t> buffer) = 0;
    // As Receive, waiting at most waitMs.
    virtual int ReceiveWithin(std::span<uint8_t> buffer, uint32_t /*waitMs*/) {
        return Receive(buffer);
    }
    // Makes a blocked Receive return within about 100 ms; from then on reading ends once those
    // 100 ms have passed, however much the peer still sends.
    virtual void ShortenReceiveTimeout() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
};

class CTCPConnection final : public IRTSPConnection {
  public:
    ~CTCPConnection() override;

    bool Open(const RTSPClientSettings& settings) override;
    bool Send(std::string_view text) override;
    int Receive(std::span<uint8_t> buffer) override;
    int ReceiveWithin(std::span<uint8_t> buffer, uint32_t waitMs) override;
    void ShortenReceiveTimeout() override;
    void Close() override;
    bool IsOpen() const override { return socket_ >= 0; }

  private:
    int socket_ = -1;
    uint32_t receiveTimeoutMs_ = 5000;
    uint32_t sendTimeoutMs_ = 1000;
    std::atomic<uint64_t> readsEndMs_{0};  // steady ms after which reading ends; 0: none
};

}  // namespace vornak
