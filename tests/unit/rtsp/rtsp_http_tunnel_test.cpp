#include "rtsp/rtsp_http_tunnel.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "recording_debug.h"
#include "rtsp/rtcp_packets.h"
#include "rtsp/rtsp_text.h"
#include "rtsp_test_support.h"

namespace vornak {
namespace {

using namespace test;

// Both legs of a scripted camera: POST bodies are decoded and answered into the GET stream.
struct CTunnelCamera {
    std::mutex mutex;
    std::condition_variable changed;
    std::string downstream;
    std::vector<Web::HttpRequest> gets;
    std::vector<Web::HttpRequest> posts;
    std::vector<std::string> requests;  // decoded RTSP requests
    std::function<std::string(const std::string&)> serve;
    size_t chunk = 9;  // bytes per read: small, so that answers arrive split

    void Push(const std::string& bytes) {
        std::lock_guard lock(mutex);
        downstream += bytes;
        changed.notify_all();
    }
    bool WaitForRequests(size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5),
                                [&] { return requests.size() >= count; });
    }
};

class CScriptedSender : public Web::CBaseHttpSender {
  public:
    CScriptedSender(const DEVICE_INFO& device, CTunnelCamera* camera)
        : CBaseHttpSender(device), camera_(camera) {}

    bool SendRequest(const Web::HttpRequest& request) override {
        std::lock_guard lock(camera_->mutex);
        statusCode_ = 200;
        if (request.verb == "GET") {
            camera_->gets.push_back(request);
            return true;
        }
        camera_->posts.push_back(request);
        const auto decoded = rtsptext::DecodeBase64(
            std::string_view(reinterpret_cast<const char*>(request.body.data()),
                             request.body.size()),
            1 << 20);
        const std::string text(decoded.begin(), decoded.end());
        camera_->requests.push_back(text);
        if (camera_->serve) {
            camera_->downstream += camera_->serve(text);
        }
        camera_->changed.notify_all();
        return true;
    }
    void Abort() override {}
    uint32_t QueryDataAvailable() override {
        std::lock_guard lock(camera_->mutex);
        return static_cast<uint32_t>(camera_->downstream.size());
    }
    uint32_t ReadResponse(std::vector<uint8_t>& data) override {
        return ReadData(data, 1 << 20, true);
    }
    uint32_t ReadData(std::vector<uint8_t>& data, uint32_t maximum, bool clearFirst) override {
        if (clearFirst) {
            data.clear();
        }
        std::lock_guard lock(camera_->mutex);
        const size_t n = std::min<size_t>({maximum, camera_->downstream.size(), camera_->chunk});
        data.insert(data.end(), camera_->downstream.begin(), camera_->downstream.begin() + n);
        camera_->downstream.erase(0, n);
        return static_cast<uint32_t>(n);
    }

  private:
    CTunnelCamera* camera_;
};

RTSPClientSettings Settings() {
    RTSPClientSettings s;
    s.host = "cam";
    s.port = 80;
    s.path = "axis-media/media.amp";
    s.receiveTimeoutMs = 300;
    return s;
}

TEST(RTSPClientHTTPTest, SessionThroughTheTunnel) {
    CTunnelCamera camera;
    camera.serve = [](const std::string& r) {
        const std::string head = "RTSP/1.0 200 OK\r\nCSeq: " + Cseq(r) + "\r\n";
        if (r.rfind("DESCRIBE", 0) == 0) {
            const std::string sdp = "m=video 0 RTP/AVP 96\r\na=control:trackID=1\r\n";
            // Media of an earlier session still in the stream ahead of the answer.
            return Frame(0, Rtp(99)) + head + "Content-Length: " + std::to_string(sdp.size()) +
                   "\r\n\r\n" + sdp;
        }
        if (r.rfind("SETUP", 0) == 0) {
            return head +
                   "Session: 42;timeout=60\r\nTransport: RTP/AVP/TCP;interleaved=0-1\r\n\r\n";
        }
        if (r.rfind("PLAY", 0) == 0) {
            return head + "Session: 42\r\n\r\n" + Frame(0, Rtp(1)) + Frame(0, Rtp(2));
        }
        return head + "\r\n";
    };
    CFixedRandom random;
    CRecordingUser user;
    CRTSPClientHTTP client(nullptr, "tunnel");
    client.SetRandomSource(&random);
    client.SetHttpSenderFactory([&camera](const DEVICE_INFO& device, const std::string& agent) {
        EXPECT_EQ(agent, "Vornak HTTP Sender");
        EXPECT_EQ(device.address, "cam");
        return std::make_unique<CScriptedSender>(device, &camera);
    });
    ASSERT_TRUE(client.Start(Settings(), &user));
    EXPECT_EQ(client.Cookie(), "1515870810") << "decimal text of the random 0x5A5A5A5A";
    ASSERT_TRUE(user.WaitUntil([&] { return user.sequences.size() >= 2; }));
    EXPECT_EQ(user.sequences, (std::vector<uint16_t>{1, 2}));

    camera.Push(Frame(1, {0x81, kRtcpBye, 0, 1, 1, 2, 3, 4}));
    ASSERT_TRUE(user.WaitUntil([&] { return user.closed; }));
    ASSERT_TRUE(camera.WaitForRequests(4));
    {
        std::lock_guard lock(camera.mutex);
        ASSERT_EQ(camera.gets.size(), 1u);
        EXPECT_EQ(camera.gets[0].path, "/axis-media/media.amp");
        EXPECT_EQ(camera.gets[0].headers,
                  (std::vector<std::string>{"x-sessioncookie: 1515870810",
                                            "Accept: application/x-rtsp-tunnelled"}));
        ASSERT_EQ(camera.requests.size(), 4u);
        EXPECT_EQ(camera.requests[0].rfind("DESCRIBE rtsp://cam:80/axis-media/media.amp ", 0), 0u);
        EXPECT_NE(camera.requests[1].find("Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"),
                  std::string::npos);
        EXPECT_EQ(camera.requests[2].rfind("PLAY ", 0), 0u);
        EXPECT_EQ(camera.requests[3].rfind("TEARDOWN ", 0), 0u);
        EXPECT_EQ(camera.posts[0].headers,
                  (std::vector<std::string>{"x-sessioncookie: 1515870810",
                                            "Content-Type: application/x-rtsp-tunnelled"}));
    }
    EXPECT_EQ(user.byes.load(), 1);
    client.Stop();
}

// A stop lands inside a frame. The camera finishes it and sends more media than an answer's header
// may hold before it answers the TEARDOWN; the answer behind all that is still read as one.
TEST(RTSPClientHTTPTest, StopInsideAFrameStillReadsTheTeardownAnswer) {
    const MediaBeforeTeardown media = MediaAroundAStop(0);
    CTunnelCamera camera;
    camera.chunk = 1000;
    camera.serve = [&](const std::string& r) {
        const std::string head = "RTSP/1.0 200 OK\r\nCSeq: " + Cseq(r) + "\r\n";
        if (r.rfind("SETUP", 0) == 0) {
            return head + "Session: 42\r\nTransport: RTP/AVP/TCP;interleaved=0-1\r\n\r\n";
        }
        if (r.rfind("PLAY", 0) == 0) {
            return head + "Session: 42\r\n\r\n" + Frame(0, Rtp(1)) + media.cut.substr(0, 700);
        }
        if (r.rfind("TEARDOWN", 0) == 0) {
            return media.cut.substr(700) + media.more + head + "Session: 42\r\n\r\n";
        }
        return head + "Content-Length: 2\r\n\r\nv=";
    };
    RecordingDebug debug;
    CRecordingUser user;
    CRTSPClientHTTP client(&debug, "tunnel");
    client.SetHttpSenderFactory([&camera](const DEVICE_INFO& device, const std::string&) {
        return std::make_unique<CScriptedSender>(device, &camera);
    });
    ASSERT_TRUE(client.Start(Settings(), &user));
    ASSERT_TRUE(user.WaitUntil([&] { return user.sequences.size() == 1; }));
    ASSERT_TRUE(WaitFor(
        [&] {
            std::lock_guard lock(camera.mutex);
            return camera.downstream.empty();
        },
        std::chrono::seconds(5)));
    client.Stop();
    {
        std::lock_guard lock(camera.mutex);
        ASSERT_EQ(camera.requests.size(), 4u);
        EXPECT_EQ(camera.requests[3].rfind("TEARDOWN ", 0), 0u);
        EXPECT_TRUE(camera.downstream.empty()) << "the answer was not read";
    }
    for (const auto& line : debug.Lines()) {
        ADD_FAILURE() << line.text;
    }
}

// Two clients started at once against a camera that never answers: their cookies differ, and
// DESCRIBE gives up within the receive time-out.
TEST(RTSPClientHTTPTest, CookiesDifferAndUnansweredRequestFails) {
    CTunnelCamera camera;
    CRecordingUser user;
    CRTSPClientHTTP a(nullptr, "a");
    CRTSPClientHTTP b(nullptr, "b");
    auto factory = [&camera](const DEVICE_INFO& device, const std::string&) {
        return std::make_unique<CScriptedSender>(device, &camera);
    };
    a.SetHttpSenderFactory(factory);
    b.SetHttpSenderFactory(factory);
    ASSERT_TRUE(a.Start(Settings(), &user));
    ASSERT_TRUE(b.Start(Settings(), &user));
    EXPECT_NE(a.Cookie(), b.Cookie());
    ASSERT_TRUE(user.WaitUntil([&] { return user.closed; }));
    a.Stop();
    b.Stop();
    EXPECT_EQ(camera.requests.size(), 2u) << "one DESCRIBE each";
}

}  // namespace
}  // namespace vornak
