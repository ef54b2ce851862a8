#include "channels/http_jpeg_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "channels/placeholder_picture.h"
#include "fake_host.h"
#include "recording_debug.h"
#include "unit/web/loopback_http_server.h"

namespace vornak {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::WaitFor;
using testing_support::LoopbackConnection;
using testing_support::LoopbackHttpServer;

// A real JPEG to serve: the placeholder picture (176x144).
std::string MultipartPart(const std::vector<uint8_t>& jpeg) {
    std::string part = "--myboundary\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                       std::to_string(jpeg.size()) + "\r\n\r\n";
    part.append(jpeg.begin(), jpeg.end());
    part += "\r\n";
    return part;
}

constexpr char kStreamHead[] =
    "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=myboundary\r\n\r\n";

// Serves a picture every 20 ms.
struct JpegCamera {
    std::atomic<int> streamRequests{0};
    LoopbackHttpServer server{
        [this](const testing_support::HttpRequestSeen& request, LoopbackConnection& connection) {
            if (request.path.rfind("/axis-cgi/mjpg/video.cgi?", 0) != 0) {
                connection.Send(LoopbackHttpServer::Response(404, "no"));
                return;
            }
            ++streamRequests;
            connection.Send(kStreamHead);
            const std::string part = MultipartPart(PlaceholderPicture());
            const auto end = Clock::now() + 20s;
            while (Clock::now() < end && connection.Send(part)) {
                std::this_thread::sleep_for(20ms);
            }
        }};
};

quillon::host::DeviceSettings JpegDevice(uint16_t port) {
    quillon::host::DeviceSettings s;
    s.port = port;
    s.model = "P1375";
    s.parameters[1] = "200";  // network time-out 200 ms, connection time-out 600 ms
    return s;
}

// A settings update reconnects with the new size and rate.
TEST(HttpJpegChannelTest, DeliversPicturesAndReconnectsOnAnUpdate) {
    JpegCamera camera;
    test::OpenedDriver d(JpegDevice(camera.server.port()));
    test::RecordingSink sink;
    CAxisJPEGChannelHTTP channel(0, &d.driver, &sink);
    const VideoCaptureRequest request{0x700A, 30, 176, 144, 1};
    ASSERT_TRUE(channel.Start(&request));
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 5; }, 5s));
    const auto frames = sink.Frames();
    const VideoCaptureRequest update{0x7005, 0, 320, 240, 1};
    ASSERT_TRUE(channel.UpdateSettings(&update));
    ASSERT_TRUE(WaitFor([&] { return camera.streamRequests >= 2; }, 5s));
    channel.Stop();
    const std::vector<uint8_t> expected = PlaceholderPicture();
    TimeValue previous = 0;
    for (const auto& frame : frames) {
        EXPECT_EQ(frame.fourcc, 0x4745504Au);
        EXPECT_EQ(frame.width, 176u);
        EXPECT_EQ(frame.height, 144u);
        EXPECT_EQ(frame.sizeClass, 1u);
        EXPECT_EQ(frame.data, expected);
        EXPECT_EQ(frame.stream, "Quillon::LiveStream");
        const TimeValue time = SystemTimeToTime(frame.time);
        EXPECT_GE(time, previous);
        previous = time;
    }
    EXPECT_EQ(channel.GetResolution(), (Size{176, 144})) << "the size of the pictures received";
    EXPECT_EQ(d.allocator.Outstanding(), 0) << "every frame released";
    const auto requests = camera.server.requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0].path,
              "/axis-cgi/mjpg/video.cgi?camera=1&resolution=176x144&"
              "compression=70&colorlevel=25&fps=10");
    EXPECT_EQ(requests[0].Header("User-Agent"), "Vornak HTTP Sender");
    EXPECT_EQ(requests[1].path,
              "/axis-cgi/mjpg/video.cgi?camera=1&resolution=320x240&compression=70&"
              "colorlevel=25&fps=5")
        << "an update brings size and rate; the quality stays";
    EXPECT_EQ(d.logger.Count("is online (Live)"), 1u);
    EXPECT_EQ(d.logger.Count("is offline. Channel was stopped (Live)"), 1u);
}

TEST(HttpJpegChannelTest, NoVideoDeviceSendsThePlaceholderWithoutConnecting) {
    JpegCamera camera;
    auto settings = JpegDevice(camera.server.port());
    settings.parameters[11] = "1";
    test::OpenedDriver d(settings);
    test::RecordingSink sink;
    CAxisJPEGChannelHTTP channel(0, &d.driver, &sink);
    const VideoCaptureRequest request{};
    ASSERT_TRUE(channel.Start(&request));
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 1; }, 2s));
    EXPECT_EQ(channel.GetState(), kStateRunning);
    channel.Stop();
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 1u) << "one picture per 5 s";
    EXPECT_EQ(frames[0].width, 176u);
    EXPECT_EQ(frames[0].height, 144u);
    EXPECT_EQ(frames[0].sizeClass, 1u);
    EXPECT_EQ(frames[0].stream, "Quillon::RecStream");
    EXPECT_EQ(frames[0].data, PlaceholderPicture());
    EXPECT_EQ(camera.server.connections(), 0);
    // Chrominance has its own quantisation table: SOF0 components 2 and 3 use table 1.
    const std::vector<uint8_t> sof = {0xFF, 0xC0, 0x00, 0x11};
    const auto at =
        std::search(frames[0].data.begin(), frames[0].data.end(), sof.begin(), sof.end());
    ASSERT_LT(at + 19, frames[0].data.end());
    EXPECT_EQ(std::vector<uint8_t>(at + 10, at + 19),
              (std::vector<uint8_t>{1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1}));
}

}  // namespace
}  // namespace vornak
