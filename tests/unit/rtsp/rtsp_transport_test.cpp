#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "recording_debug.h"
#include "rtsp/rtcp_packets.h"
#include "rtsp/rtsp_transports.h"
#include "rtsp_test_support.h"

namespace vornak {
namespace {

using namespace test;

// An in-memory camera: every request goes to `serve`, whose answer becomes readable at once.
// Media can be pushed at any time; nothing here waits on a clock except the bounded waits for
// the client's own thread.
class CScriptedConnection : public IRTSPConnection {
  public:
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::string pending;
        std::vector<std::string> requests;
        bool shortened = false;
        size_t chunk = 0;  // deliver at most this many bytes per read (0: all)
        std::function<std::string(const std::string&)> serve;

        void Push(const std::string& bytes) {
            std::lock_guard lock(mutex);
            pending += bytes;
            changed.notify_all();
        }
        std::string Request(size_t i) {
            std::lock_guard lock(mutex);
            return i < requests.size() ? requests[i] : std::string{};
        }
        size_t RequestCount() {
            std::lock_guard lock(mutex);
            return requests.size();
        }
    };

    explicit CScriptedConnection(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    bool Open(const RTSPClientSettings&) override { return open_ = true; }
    bool Send(std::string_view text) override {
        std::lock_guard lock(shared_->mutex);
        shared_->requests.emplace_back(text);
        if (shared_->serve) {
            shared_->pending += shared_->serve(std::string(text));
        }
        shared_->changed.notify_all();
        return true;
    }
    int Receive(std::span<uint8_t> buffer) override {
        std::unique_lock lock(shared_->mutex);
        shared_->changed.wait_for(lock, std::chrono::seconds(5),
                                  [&] { return !shared_->pending.empty() || shared_->shortened; });
        if (!shared_->pending.empty()) {
            size_t n = std::min(buffer.size(), shared_->pending.size());
            if (shared_->chunk != 0) {
                n = std::min(n, shared_->chunk);
            }
            std::memcpy(buffer.data(), shared_->pending.data(), n);
            shared_->pending.erase(0, n);
            return static_cast<int>(n);
        }
        return -1;
    }
    void ShortenReceiveTimeout() override {
        std::lock_guard lock(shared_->mutex);
        shared_->shortened = true;
        shared_->changed.notify_all();
    }
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }

  private:
    std::shared_ptr<Shared> shared_;
    bool open_ = false;
};

constexpr const char* kSdp =
    "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:trackID=1\r\na=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==\r\n";

// A camera that wants Digest and answers every method; the transport answer depends on the kind.
std::function<std::string(const std::string&)> CameraAnswers(const std::string& transport,
                                                             const std::string& playExtra = "") {
    return [transport, playExtra](const std::string& request) {
        const std::string m = Method(request);
        const std::string head = "RTSP/1.0 200 OK\r\nCSeq: " + Cseq(request) + "\r\n";
        if (request.find("Authorization: Digest") == std::string::npos) {
            return "RTSP/1.0 401 Unauthorized\r\nCSeq: " + Cseq(request) +
                   "\r\nWWW-Authenticate: Digest realm=\"cam\", nonce=\"abc\"\r\n\r\n";
        }
        if (m == "DESCRIBE") {
            return head + "Content-Base: rtsp://cam/axis-media/media.amp/\r\nContent-Length: " +
                   std::to_string(std::string(kSdp).size()) + "\r\n\r\n" + kSdp;
        }
        if (m == "SETUP") {
            return head + "Session: 0E62E8C3;timeout=60\r\nTransport: " + transport + "\r\n\r\n";
        }
        if (m == "PLAY") {
            return head + "Session: 0E62E8C3\r\nRTP-Info: url=x;seq=77;rtptime=8888\r\n\r\n" +
                   playExtra;
        }
        return head + "Session: 0E62E8C3\r\n\r\n";
    };
}

template <typename Client>
void UseScript(Client& client, const std::shared_ptr<CScriptedConnection::Shared>& shared) {
    client.SetConnectionFactory([shared] { return std::make_unique<CScriptedConnection>(shared); });
}

// A failed DESCRIBE closes without TEARDOWN; a description the user refuses is torn down.
TEST(RTSPClientUDPTest, FailedOrRefusedDescription) {
    for (const bool found : {false, true}) {
        auto shared = std::make_shared<CScriptedConnection::Shared>();
        shared->serve = CameraAnswers("RTP/AVP;unicast;server_port=6000-6001");
        if (!found) {
            shared->serve = [](const std::string& r) {
                return "RTSP/1.0 404 Not Found\r\nCSeq: " + Cseq(r) + "\r\n\r\n";
            };
        }
        CRecordingUser user;
        user.acceptDescription = false;
        CRTSPClientUDP client(nullptr, "udp");
        UseScript(client, shared);
        ASSERT_TRUE(client.Start(CameraSettings(), &user));
        ASSERT_TRUE(user.WaitUntil([&] { return user.closed; }));
        client.Stop();
        ASSERT_EQ(shared->RequestCount(), found ? 3u : 1u);
        EXPECT_EQ(Method(shared->Request(shared->RequestCount() - 1)),
                  found ? "TEARDOWN" : "DESCRIBE");
    }
}

TEST(RTSPClientMulticastTest, TellsDestinationAndRtpInfo) {
    auto shared = std::make_shared<CScriptedConnection::Shared>();
    shared->serve = CameraAnswers("RTP/AVP;multicast;destination=239.1.2.3;port=5000-5001;ttl=1");
    CRecordingUser user;
    CRTSPClientMulticast client(nullptr, "mc");
    UseScript(client, shared);
    ASSERT_TRUE(client.Start(CameraSettings(), static_cast<IRTSPClientUserEx*>(&user)));
    ASSERT_TRUE(user.WaitUntil([&] { return user.playSequence != 0; }));
    EXPECT_EQ(user.setupDestination, "239.1.2.3");
    EXPECT_EQ(user.setupPort, 5000);
    EXPECT_EQ(user.playRtpTime, 8888u);
    EXPECT_EQ(user.playSequence, 77);
    EXPECT_NE(shared->Request(2).find("Transport: RTP/AVP/UDP;multicast;client_port=3556-3557\r\n"),
              std::string::npos);
    client.Stop();
}

TEST(RTSPClientInterleavedTest, MediaInTheConnectionAndByeEndsTheSession) {
    auto shared = std::make_shared<CScriptedConnection::Shared>();
    shared->serve = CameraAnswers("RTP/AVP/TCP;unicast;interleaved=2-3",
                                  Frame(2, Rtp(1)) + Frame(4, Rtp(50)) + Frame(2, Rtp(2)));
    shared->chunk = 3;
    CRecordingUser user;
    CRTSPClientInterleaved client(nullptr, "tcp");
    UseScript(client, shared);
    ASSERT_TRUE(client.Start(CameraSettings(), &user));
    ASSERT_TRUE(user.WaitUntil([&] { return user.sequences.size() >= 2; }));
    EXPECT_NE(shared->Request(2).find("Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"),
              std::string::npos);
    shared->Push(Frame(2, Rtp(3)) + Frame(3, {0x81, kRtcpBye, 0, 1, 1, 2, 3, 4}));
    ASSERT_TRUE(user.WaitUntil([&] { return user.closed; }));
    EXPECT_EQ(user.sequences, (std::vector<uint16_t>{1, 2, 3}));
    EXPECT_EQ(user.byes.load(), 1);
    EXPECT_EQ(Method(shared->Request(shared->RequestCount() - 1)), "TEARDOWN");
    client.Stop();
}

// A stop lands inside a frame. The camera finishes it and sends more media than an answer's header
// may hold before it reads the TEARDOWN; the answer behind all that is still read as one.
TEST(RTSPClientInterleavedTest, StopInsideAFrameStillReadsTheTeardownAnswer) {
    const MediaBeforeTeardown media = MediaAroundAStop(2);
    auto answers = CameraAnswers("RTP/AVP/TCP;unicast;interleaved=2-3",
                                 Frame(2, Rtp(1)) + media.cut.substr(0, 700));
    auto shared = std::make_shared<CScriptedConnection::Shared>();
    shared->serve = [answers, media](const std::string& request) {
        const std::string answer = answers(request);
        return Method(request) == "TEARDOWN" ? media.cut.substr(700) + media.more + answer : answer;
    };
    RecordingDebug debug;
    CRecordingUser user;
    CRTSPClientInterleaved client(&debug, "tcp");
    UseScript(client, shared);
    ASSERT_TRUE(client.Start(CameraSettings(), &user));
    ASSERT_TRUE(user.WaitUntil([&] { return user.sequences.size() == 1; }));
    client.Stop();
    EXPECT_EQ(Method(shared->Request(shared->RequestCount() - 1)), "TEARDOWN");
    for (const auto& line : debug.Lines()) {
        ADD_FAILURE() << line.text;
    }
}

// The real TCP connection against a loopback listener.
TEST(TCPConnectionTest, ConnectSendReceiveAndShortenedTimeout) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    socklen_t length = sizeof(address);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    listen(listener, 1);

    RTSPClientSettings s;
    s.host = "127.0.0.1";
    s.port = ntohs(address.sin_port);
    CTCPConnection connection;
    ASSERT_TRUE(connection.Open(s));
    const int peer = accept(listener, nullptr, nullptr);
    ASSERT_TRUE(connection.Send("hello"));
    char buffer[16] = {};
    EXPECT_EQ(recv(peer, buffer, sizeof(buffer), 0), 5);
    send(peer, "abc", 3, 0);
    uint8_t in[8];
    EXPECT_EQ(connection.Receive(in), 3);

    std::thread stopper([&] { connection.ShortenReceiveTimeout(); });
    EXPECT_EQ(connection.Receive(in), -1) << "a blocked read returns once shortened";
    stopper.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    send(peer, "more", 4, 0);
    EXPECT_EQ(connection.Receive(in), -1) << "reading has ended, whatever the peer still sends";
    close(peer);
    ASSERT_TRUE(connection.Open(s));
    close(accept(listener, nullptr, nullptr));
    EXPECT_EQ(connection.Receive(in), 0) << "peer closed";
    connection.Close();
    close(listener);

    s.host = "no-such-host.invalid";
    EXPECT_FALSE(connection.Open(s));
}

}  // namespace
}  // namespace vornak
