// One UDP socket (unicast or multicast) with a receiving thread that takes datagrams in batches
// and hands them to its user.
#pragma once

#include <netinet/in.h>
#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "base/sync.h"
#include "base/thread.h"

namespace vornak {

class IRTPClient;

// What one receive call put into one lent buffer.
struct ReceivedDatagram {
    sockaddr_in sender;
    uint32_t length;  // 0: nothing usable (an empty or a truncated datagram)
};

class IRTPClientUser {
  public:
    virtual ~IRTPClientUser() = default;
    virtual void OnDatagram(IRTPClient* client, const sockaddr_in& sender, const uint8_t* data,
                            uint32_t length) = 0;
    virtual void OnReceiveTimeout(IRTPClient* client) = 0;
    virtual void OnSocketClosed(IRTPClient* client) = 0;
    // A user that keeps datagrams past the callback lends the client buffers of its own, so
    // that each datagram is received straight into the buffer it stays in. It fills up to
    // buffers.size() entries with buffers of at least `length` bytes and returns how many; 0 has
    // the client receive into its own buffers and call OnDatagram for each datagram.
    virtual size_t LendBuffers(IRTPClient* /*client*/, uint32_t /*length*/,
                               std::span<iovec> /*buffers*/) {
        return 0;
    }
    // Once per receive into lent buffers, after stop too: received[i] is what buffers[i] holds;
    // buffers past received.size() were not used. Every lent buffer comes back through here.
    virtual void OnDatagramBatch(IRTPClient* /*client*/, std::span<const iovec> /*buffers*/,
                                 std::span<const ReceivedDatagram> /*received*/) {}
};

class IRTPClient {
  public:
    virtual ~IRTPClient() = default;
    virtual bool OpenMulticast(IRTPClientUser* user, const std::string& group, uint16_t port,
                               uint32_t interfaceAddress) = 0;
    virtual bool Open(IRTPClientUser* user, uint16_t port) = 0;
    virtual void Close() = 0;
    virtual void SetBufferLength(uint32_t bytes) = 0;
    virtual void SetSelectTimeout(uint32_t ms) = 0;
    virtual uint16_t GetPort() = 0;
};

struct UDPClientOptions {
    uint32_t group = 0xFFFFFFFFu;  // network order; all ones: unicast
    uint32_t interfaceAddress = 0;
    uint16_t port = 0;
    uint32_t receiveBufferSize = 0;  // 0: the default size
    uint32_t sendTimeoutMs = 0;
};

class CUDPClient : public IRTPClient, public CBaseThread {
  public:
    // Video at high bit rates arrives in bursts that a 64 KiB socket buffer cannot hold while
    // the delivery thread is busy; ask the kernel for more.
    static constexpr uint32_t kDefaultReceiveBuffer = 4 * 1024 * 1024;
    static constexpr uint32_t kMaxDatagram = 65535;
    // Datagrams taken by one receive call: a frame's packets arrive back to back, and each call
    // costs a system call and a hand-over.
    static constexpr size_t kBatchSize = 64;

    explicit CUDPClient(IDebugMessage* debug);
    ~CUDPClient() override;

    bool OpenMulticast(IRTPClientUser* user, const std::string& group, uint16_t port,
                       uint32_t interfaceAddress) override;
    bool Open(IRTPClientUser* user, uint16_t port) override;
    bool OpenGroup(IRTPClientUser* user, const std::string& group, uint16_t port);
    void Close() override;
    void SetBufferLength(uint32_t bytes) override { bufferLength_ = bytes; }
    void SetSelectTimeout(uint32_t ms) override { selectTimeoutMs_ = ms; }
    uint16_t GetPort() override { return port_; }

    // The port the socket is bound to (differs from GetPort when port 0 was requested).
    uint16_t GetBoundPort() const { return boundPort_; }
    uint32_t GetBufferLength() const { return bufferLength_; }
    // Usable socket receive buffer the kernel granted at the last open.
    uint32_t GetReceiveBufferSize() const { return grantedBuffer_; }
    // False on the first send error.
    bool SendTo(const sockaddr_in& address, const uint8_t* data, uint32_t length);

  protected:
    void ThreadFunction() override;

  private:
    bool OpenSocket(IRTPClientUser* user, const UDPClientOptions& options);
    // After a receive call failed with `error`: true when the socket is gone.
    bool ReceiveFailed(int error);

    CLock lock_;
    IRTPClientUser* user_ = nullptr;  // borrowed; outlives the receiving thread
    std::atomic<int> socket_{-1};
    uint16_t port_ = 0;
    uint16_t boundPort_ = 0;
    std::atomic<uint32_t> bufferLength_{8192};
    std::atomic<uint32_t> selectTimeoutMs_{2000};
    uint32_t membershipGroup_ = 0xFFFFFFFFu;
    uint32_t membershipInterface_ = 0xFFFFFFFFu;
    uint32_t socketTimeoutMs_ = 0;
    uint32_t grantedBuffer_ = 0;
};

}  // namespace vornak
