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
    // Makes a blocked Receive return within about 100 ms, and later ones wait no longer.
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
    void ShortenReceiveTimeout() override { shortened_ = true; }
    void Close() override;
    bool IsOpen() const override { return socket_ >= 0; }

    // First IPv4 address of a name or dotted text, in network byte order; 0 when none.
    static uint32_t ResolveIPv4(const std::string& host);

  private:
    int socket_ = -1;
    uint32_t receiveTimeoutMs_ = 5000;
    uint32_t sendTimeoutMs_ = 1000;
    std::atomic<bool> shortened_{false};
};

}  // namespace vornak
