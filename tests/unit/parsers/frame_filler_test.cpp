#include "parsers/frame_filler.h"

#include <gtest/gtest.h>

#include "parser_test_support.h"

namespace vornak::test {
namespace {

// Frame whose every call is recorded, to check the order in which the host sees them.
class OrderFrame : public quillon::host::HostVideoFrame {
  public:
    OrderFrame(uint32_t fourcc, uint32_t size, std::vector<std::string>& calls, bool failBuffer)
        : HostVideoFrame(fourcc, size, ""), calls_(calls), failBuffer_(failBuffer) {}
    uint8_t* GetBuffer() override {
        calls_.push_back("GetBuffer");
        return failBuffer_ ? nullptr : HostVideoFrame::GetBuffer();
    }
    void SetWidth(uint32_t v) override { Call("SetWidth"), HostVideoFrame::SetWidth(v); }
    void SetHeight(uint32_t v) override { Call("SetHeight"), HostVideoFrame::SetHeight(v); }
    void SetResolutionClass(uint32_t v) override {
        Call("SetResolutionClass"), HostVideoFrame::SetResolutionClass(v);
    }
    void SetDataSize(uint32_t v) override { Call("SetDataSize"), HostVideoFrame::SetDataSize(v); }
    void SetFourCC(uint32_t v) override { Call("SetFourCC"), HostVideoFrame::SetFourCC(v); }
    void SetTimestamp(const SYSTEMTIME* t) override {
        Call("SetTimestamp"), HostVideoFrame::SetTimestamp(t);
    }

  private:
    void Call(const char* name) { calls_.push_back(name); }
    std::vector<std::string>& calls_;
    bool failBuffer_;
};

class OrderAllocator : public quillon::host::HostFrameAllocator {
  public:
    ipcapture::IVideoFrame* CreateFrame(uint32_t fourcc, uint32_t size,
                                        const char* stream) override {
        calls.push_back(std::string("CreateFrame ") + stream);
        return new OrderFrame(fourcc, size, calls, failBuffer);
    }
    void ReleaseFrame(ipcapture::IVideoFrame* frame) override {
        calls.push_back("ReleaseFrame");
        delete frame;
    }
    std::vector<std::string> calls;
    bool failBuffer = false;
};

class OrderClient : public RecordingClient {
  public:
    explicit OrderClient(std::vector<std::string>& calls) : calls_(calls) {}
    bool FrameReady(ipcapture::IVideoFrame* frame) override {
        const size_t before = calls_.size();
        const bool taken = RecordingClient::FrameReady(frame);
        calls_.resize(before);  // the recording's own reads are not the filler's
        calls_.push_back("FrameReady");
        return taken;
    }

  private:
    std::vector<std::string>& calls_;
};

using Calls = std::vector<std::string>;
const Calls kFields = {"SetWidth",    "SetHeight", "SetResolutionClass",
                       "SetDataSize", "SetFourCC", "SetTimestamp"};

Calls Join(std::initializer_list<Calls> parts) {
    Calls out;
    for (const Calls& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

TEST(FrameFiller, FillsInEitherOrderAndAlwaysReleases) {
    const Calls create = {"CreateFrame Quillon::LiveStream"};
    const Calls buffer = {"GetBuffer"};
    const Calls handOver = {"FrameReady", "ReleaseFrame"};
    const Calls release = {"ReleaseFrame"};
    struct Row {
        FillOrder order;
        bool failBuffer;
        Delivery result;
        Calls calls;
        const char* logged;
        const char* reason;
    };
    const Row rows[] = {
        {FillOrder::kCopyFirst, false, Delivery::kDelivered,
         Join({create, buffer, kFields, handOver}), nullptr, "the RTP depacketizers' order"},
        {FillOrder::kFieldsFirst, false, Delivery::kDelivered,
         Join({create, kFields, buffer, handOver}), nullptr, "the HTTP paths' order"},
        {FillOrder::kCopyFirst, true, Delivery::kCopyFailed, Join({create, buffer, release}),
         "Data copying error", "a failed copy sends nothing and still releases"},
        {FillOrder::kFieldsFirst, true, Delivery::kCopyFailed,
         Join({create, kFields, buffer, release}), "Data copying error",
         "a failed copy after the fields sends nothing either"},
    };
    const std::vector<uint8_t> data = {0xFF, 0xD8, 1, 2, 3};
    for (const Row& row : rows) {
        FakeDriver driver;
        OrderAllocator allocator;
        allocator.failBuffer = row.failBuffer;
        driver.allocator = &allocator;
        OrderClient client(allocator.calls);
        const Picture picture{.data = data,
                              .fourcc = kFourCCJpeg,
                              .size = {352, 288},
                              .rtpTimestamp = 90000,
                              .order = row.order};
        EXPECT_EQ(DeliverPicture(driver, &client, picture, "M"), row.result) << row.reason;
        EXPECT_EQ(allocator.calls, row.calls) << row.reason;
        if (row.logged != nullptr) {
            EXPECT_EQ(driver.Count(std::string("M: ") + row.logged + ", device 192.0.2.7:80"), 1u)
                << row.reason;
        }
        if (row.result == Delivery::kDelivered) {
            ASSERT_EQ(client.frames.size(), 1u);
            const DeliveredFrame& frame = client.frames[0];
            EXPECT_EQ(frame.data, data);
            EXPECT_EQ(frame.dataSize, data.size());
            EXPECT_EQ(frame.fourcc, kFourCCJpeg);
            EXPECT_EQ(frame.resolutionClass, 2u) << "from the picture's width";
            EXPECT_EQ(frame.time.wSecond, 1) << "the client's clock converts the RTP time";
        }
    }
}

TEST(FrameFiller, StreamNameAndRefusal) {
    FakeDriver driver;
    OrderAllocator allocator;
    driver.allocator = &allocator;
    OrderClient client(allocator.calls);
    client.accept = false;
    const std::vector<uint8_t> data = {1};
    EXPECT_EQ(DeliverPicture(driver, &client, {.data = data, .stream = "Q::RecStream"}, "M"),
              Delivery::kRefused);
    EXPECT_EQ(allocator.calls.front(), "CreateFrame Q::RecStream") << "a given name wins";
    EXPECT_EQ(allocator.calls.back(), "ReleaseFrame") << "a refused frame is released too";
    EXPECT_EQ(DeliverPicture(driver, nullptr, {.data = data}, "M"), Delivery::kNoHost);
    EXPECT_EQ(DeliverPicture(driver, &client, {}, "M"), Delivery::kNoHost) << "no data";
    EXPECT_TRUE(driver.Lines().empty()) << "the normal outcomes log nothing";
}

}  // namespace
}  // namespace vornak::test
