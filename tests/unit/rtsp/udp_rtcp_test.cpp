#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "recording_debug.h"
#include "rtsp/rtcp_handler.h"
#include "rtsp/rtcp_packets.h"
#include "rtsp/rtp_receiver.h"
#include "rtsp_test_support.h"

namespace vornak {
namespace {

using test::CFixedRandom;
using test::Rtp;

// A UDP socket on a loopback address standing in for the camera.
class CPeer {
  public:
    explicit CPeer(const char* address = "127.0.0.1") {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, address, &local.sin_addr);
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
        timeval tv{2, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    ~CPeer() { close(fd_); }
    void SendTo(uint16_t port, const std::vector<uint8_t>& data) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    bool HasPending() {
        uint8_t byte = 0;
        return recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_PEEK) >= 0;
    }
    // Waits up to two seconds; empty when nothing came.
    std::vector<uint8_t> Receive() {
        std::vector<uint8_t> buffer(2048);
        const ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
        buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buffer;
    }

  private:
    int fd_;
};

class CCollectingUser : public IRTPReceiverUser {
  public:
    void PacketReceived(const sockaddr_in&, const CRTPPacket& packet) override {
        if (slowFirst_.exchange(false)) {
            // Over the receiver's budget: what follows goes through its delivery thread.
            std::this_thread::sleep_for(CRTPReceiver::kInlineBudget * 3);
        }
        std::unique_lock lock(mutex_);
        if (blockAt_ == sequences.size()) {
            sequences.push_back(packet.sequence);
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_; });
            return;
        }
        sequences.push_back(packet.sequence);
        sizes.push_back(packet.payloadLength);
        changed_.notify_all();
    }
    void OnReceiveTimeout() override {}
    void OnSocketClosed() override {}

    bool WaitFor(size_t count) {
        return WaitUntil([&] { return sequences.size() >= count; });
    }
    // The predicate runs under the lock, so it may read what the delivery thread writes.
    template <class Predicate>
    bool WaitUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, done);
    }
    void SlowFirst() { slowFirst_ = true; }
    // The packet with this index blocks its caller until Release.
    void BlockAt(size_t index) { blockAt_ = index; }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    std::vector<uint16_t> sequences;
    std::vector<uint32_t> sizes;

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> slowFirst_{false};
    size_t blockAt_ = SIZE_MAX;
    bool released_ = false;
};

// Packets go to the user in arrival order. Dropped on the way: a datagram larger than the buffer
// (with a line; the buffer grows so that the next one of that size is received whole), one that
// is not RTP, and those of a host other than the source.
TEST(RTPReceiverTest, DeliversInArrivalOrderAndGrowsTheBuffer) {
    CCollectingUser user;
    test::RecordingDebug debug;
    CRTPReceiver receiver(&debug);
    receiver.SetUser(&user);
    receiver.SetSource(htonl(INADDR_LOOPBACK));
    ASSERT_TRUE(receiver.Open(0));
    CPeer peer;
    CPeer stranger("127.0.0.2");
    for (uint16_t s : {5, 3, 9, 1}) {
        peer.SendTo(receiver.GetBoundPort(), Rtp(s));
        stranger.SendTo(receiver.GetBoundPort(), Rtp(s + 100));
    }
    peer.SendTo(receiver.GetBoundPort(), {0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // not RTP
    peer.SendTo(receiver.GetBoundPort(), Rtp(2));
    peer.SendTo(receiver.GetBoundPort(), Rtp(10, 3000));
    // Datagrams taken in the same receive call are cut alike.
    for (int i = 0; i < 500 && debug.Count("of up to 3000 bytes dropped") == 0; ++i) {
        usleep(10000);
    }
    peer.SendTo(receiver.GetBoundPort(), Rtp(11, 2560));
    peer.SendTo(receiver.GetBoundPort(), Rtp(12, 1000));
    ASSERT_TRUE(user.WaitFor(7));
    EXPECT_EQ(user.sequences, (std::vector<uint16_t>{5, 3, 9, 1, 2, 11, 12}));
    EXPECT_EQ(std::vector<uint32_t>(user.sizes.end() - 2, user.sizes.end()),
              (std::vector<uint32_t>{2560 - 12, 1000 - 12}))
        << "received whole";
    EXPECT_EQ(debug.Count("of up to 3000 bytes dropped"), 1u);
    EXPECT_GT(receiver.BatchesDeliveredInline(), 0u) << "a user that keeps up";
    EXPECT_EQ(receiver.BatchesDeliveredQueued(), 0u);
    receiver.Close();
}

// Once a user has been slow, video goes through the queue and wakes the delivery thread once per
// picture: at its marker bit, or, from a sender that sets none, when the next picture begins.
// What waits for an end that never comes (the last picture before the stream goes quiet) is
// still handed over, when the delivery thread's idle wait of a second ends.
TEST(RTPReceiverTest, PicturesAreHandedOverAtTheirEnd) {
    auto packet = [](uint16_t sequence, uint8_t timestamp, bool marker) {
        std::vector<uint8_t> p = Rtp(sequence);
        p[1] = static_cast<uint8_t>(marker ? 0x80 | 96 : 96);
        p[7] = timestamp;
        return p;
    };
    CCollectingUser user;
    CRTPReceiver receiver(nullptr);
    receiver.SetUser(&user);
    receiver.SetWakePerPicture(true);
    ASSERT_TRUE(receiver.Open(0));
    CPeer peer;
    user.SlowFirst();
    peer.SendTo(receiver.GetBoundPort(), packet(0, 0, true));
    ASSERT_TRUE(user.WaitFor(1));
    peer.SendTo(receiver.GetBoundPort(), packet(1, 1, false));
    peer.SendTo(receiver.GetBoundPort(), packet(2, 1, true));
    ASSERT_TRUE(user.WaitFor(3));
    peer.SendTo(receiver.GetBoundPort(), packet(3, 2, false));  // no marker: ends at 5
    peer.SendTo(receiver.GetBoundPort(), packet(4, 2, false));
    peer.SendTo(receiver.GetBoundPort(), packet(5, 3, false));
    // Well before the idle wait ends.
    EXPECT_TRUE(
        user.WaitUntil([&] { return user.sequences.size() >= 6; }, std::chrono::milliseconds(700)));
    peer.SendTo(receiver.GetBoundPort(), packet(6, 3, false));  // ends with the stream
    ASSERT_TRUE(user.WaitFor(7));
    EXPECT_EQ(user.sequences, (std::vector<uint16_t>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(receiver.BatchesDeliveredInline(), 1u);
    receiver.Close();
}

// A user that is slow and then stalls leaves the socket thread free, and no buffer: a flood is
// then dropped, with one line when it starts and one when buffers are free again, and nothing
// else grows.
TEST(RTPReceiverTest, UsedUpBuffersDropAndRecover) {
    CCollectingUser user;
    user.SlowFirst();
    user.BlockAt(1);
    test::RecordingDebug debug;
    CRTPReceiver receiver(&debug);
    receiver.SetUser(&user);
    ASSERT_TRUE(receiver.Open(0));
    CPeer peer;
    peer.SendTo(receiver.GetBoundPort(), Rtp(0));
    ASSERT_TRUE(user.WaitFor(1));
    peer.SendTo(receiver.GetBoundPort(), Rtp(1));
    ASSERT_TRUE(user.WaitFor(2));  // the delivery thread now hangs in the user, holding a buffer
    const size_t held = CRTPReceiver::kMaxBuffers - 1;
    for (size_t s = 2; s <= held + 201; ++s) {
        peer.SendTo(receiver.GetBoundPort(), Rtp(static_cast<uint16_t>(s)));
    }
    for (int i = 0; i < 500 && receiver.DroppedDatagrams() == 0; ++i) {
        usleep(10000);
    }
    ASSERT_GT(receiver.DroppedDatagrams(), 0u);
    EXPECT_EQ(receiver.QueuedPackets(), held);
    EXPECT_EQ(debug.Count("dropping datagrams"), 1u) << "one line for the whole run";
    user.Release();
    ASSERT_TRUE(user.WaitFor(2 + held));
    // Some of the flood may still come after the kept ones, and buffers may run out again while
    // the user catches up; a packet sent once that is over gets through.
    uint16_t kept = 0;
    bool through = false;
    for (int i = 0; i < 100 && !through; ++i) {
        peer.SendTo(receiver.GetBoundPort(), Rtp(60000));
        through = user.WaitUntil(
            [&] {
                kept = user.sequences[held + 1];
                return user.sequences.back() == 60000;
            },
            std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(through);
    EXPECT_EQ(kept, held + 1) << "the oldest are kept";
    EXPECT_EQ(debug.Count("free again"), debug.Count("dropping datagrams"))
        << "every run of drops ends with a line";
}

TEST(UDPClientTest, AsksForALargeReceiveBuffer) {
    CUDPClient client(nullptr);
    class CNull : public IRTPClientUser {
        void OnDatagram(IRTPClient*, const sockaddr_in&, const uint8_t*, uint32_t) override {}
        void OnReceiveTimeout(IRTPClient*) override {}
        void OnSocketClosed(IRTPClient*) override {}
    } user;
    ASSERT_TRUE(client.Open(&user, 0));
    // Granted in full where the forced size is permitted, else up to the system's limit; either
    // way well above the 64 KiB a burst of video overruns.
    EXPECT_GT(client.GetReceiveBufferSize(), 200u * 1024);
    EXPECT_NE(client.GetBoundPort(), 0);
    EXPECT_EQ(client.GetPort(), 0) << "the requested port, not the chosen one";
    EXPECT_FALSE(client.Open(&user, 0)) << "already open";
    EXPECT_FALSE(client.OpenMulticast(&user, "not an address", 0, 0));
    // A search for a free port passes taken ones by the dozen: a detail, not a warning each.
    test::RecordingDebug debug;
    CUDPClient second(&debug);
    EXPECT_FALSE(second.Open(&user, client.GetBoundPort()));
    ASSERT_EQ(debug.Lines().size(), 1u);
    EXPECT_EQ(debug.Lines()[0].level, kLogDetail) << debug.Lines()[0].text;
    client.Close();
    EXPECT_EQ(client.GetBoundPort(), 0);
}

class CByeCounter : public IRTCPHandlerUser {
  public:
    void OnRtcpBye() override { ++byes; }
    std::atomic<int> byes{0};
};

// Sender report: V=2 RC=0, PT=200, length 6; SSRC; NTP timestamp; RTP time; counts.
std::vector<uint8_t> SenderReport(uint8_t ssrcByte) {
    std::vector<uint8_t> sr(28, 0);
    sr[0] = 0x80;
    sr[1] = kRtcpSenderReport;
    sr[3] = 6;
    sr[4] = sr[5] = sr[6] = sr[7] = ssrcByte;
    sr[8] = 0x11;  // NTP seconds
    sr[9] = 0x22;
    sr[10] = 0x33;
    sr[11] = 0x44;
    sr[12] = 0x55;  // NTP fraction
    sr[13] = 0x66;
    return sr;
}

std::vector<uint8_t> Bye(uint8_t ssrcByte) {
    return {0x81, kRtcpBye, 0, 1, ssrcByte, ssrcByte, ssrcByte, ssrcByte};
}

TEST(RTCPHandlerTest, ReportsFollowSenderReportsFromTheDeviceOnly) {
    CFixedRandom random;
    CByeCounter user;
    CRTCPHandler handler(nullptr);
    handler.SetRandomSource(&random);
    handler.SetUser(&user);
    ASSERT_TRUE(handler.Open(htonl(INADDR_LOOPBACK), 0));
    CRTPPacket rtp;
    rtp.ssrc = 0xCCCCCCCC;
    rtp.sequence = 1000;
    ASSERT_TRUE(handler.AcceptRtp(rtp)) << "the first packet names the source";
    rtp.ssrc = 0xEEEEEEEE;
    rtp.sequence = 5;
    EXPECT_FALSE(handler.AcceptRtp(rtp)) << "another sender of the same session";

    CPeer stranger("127.0.0.2");
    CPeer camera;
    stranger.SendTo(handler.GetBoundPort(), SenderReport(0xEE));
    camera.SendTo(handler.GetBoundPort(), SenderReport(0xCC));
    const auto rr = camera.Receive();
    ASSERT_EQ(rr.size(), 32u);
    EXPECT_EQ(rr[0], 0x81);
    EXPECT_EQ(rr[1], kRtcpReceiverReport);
    EXPECT_EQ(std::vector<uint8_t>(rr.begin() + 4, rr.begin() + 8),
              (std::vector<uint8_t>{0x5A, 0x5A, 0x5A, 0x5A}))
        << "own SSRC from the random source";
    EXPECT_EQ(std::vector<uint8_t>(rr.begin() + 8, rr.begin() + 12),
              (std::vector<uint8_t>{0xCC, 0xCC, 0xCC, 0xCC}))
        << "locked to the device's SSRC, not the stranger's";
    EXPECT_EQ(rr[18] << 8 | rr[19], 1000) << "highest sequence of the followed source";
    EXPECT_EQ(std::vector<uint8_t>(rr.begin() + 24, rr.begin() + 28),
              (std::vector<uint8_t>{0x33, 0x44, 0x55, 0x66}))
        << "middle 32 bits of the NTP time";

    // A BYE of another SSRC is ignored; the locked one ends the stream once.
    camera.SendTo(handler.GetBoundPort(), Bye(0xDD));
    camera.SendTo(handler.GetBoundPort(), Bye(0xCC));
    camera.SendTo(handler.GetBoundPort(), Bye(0xCC));
    // After the camera's BYE a new SR is needed before anything is sent again.
    camera.SendTo(handler.GetBoundPort(), SenderReport(0xAB));
    const auto rr2 = camera.Receive();
    ASSERT_EQ(rr2.size(), 32u);
    EXPECT_EQ(rr2[8], 0xAB) << "the lock was released by the BYE";
    EXPECT_EQ(user.byes.load(), 1);

    handler.Close();
    const auto bye = camera.Receive();
    ASSERT_EQ(bye.size(), 8u) << "BYE at close";
    EXPECT_EQ(bye[1], kRtcpBye);
}

TEST(RTCPHandlerTest, NothingIsSentBeforeTheFirstSenderReport) {
    CRTCPHandler handler(nullptr);
    ASSERT_TRUE(handler.Open(htonl(INADDR_LOOPBACK), 0));
    CPeer camera;
    // The camera sends RTP-side noise from its RTCP port; no SR ever arrives.
    camera.SendTo(handler.GetBoundPort(), Bye(0x01));
    handler.Close();
    // Close joins the handler's thread, which sends its BYE before it ends: anything sent would
    // be waiting at the camera by now.
    EXPECT_FALSE(camera.HasPending());
    EXPECT_FALSE(handler.Open(0, 0)) << "a device address is required";
}

}  // namespace
}  // namespace vornak
