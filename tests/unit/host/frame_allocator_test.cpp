#include <gtest/gtest.h>

#include <cstring>

#include "host_objects.h"

namespace quillon::host {
namespace {

// A kept frame comes back as if new, holding the picture it is asked for; a bigger picture gets a
// new frame, and no more frames are kept than allowed.
TEST(HostFrameAllocatorTest, KeptFramesComeBackAsNew) {
    HostFrameAllocator allocator;
    allocator.KeepReleasedFrames(1);

    IVideoFrame* first = allocator.CreateFrame(0x34363248, 3000, "first stream name, long");
    ASSERT_NE(first, nullptr);
    std::memset(first->GetBuffer(), 0xAB, 3000);
    const SYSTEMTIME stamp{2026, 12, 2, 8, 1, 2, 3, 4};
    first->SetTimestamp(&stamp);
    first->SetDataSize(3000);
    first->SetWidth(1920);
    first->SetHeight(1080);
    first->SetResolutionClass(4);
    first->FinishFrame();
    allocator.ReleaseFrame(first);

    IVideoFrame* again = allocator.CreateFrame(0x4745504A, 2000, "rec");
    ASSERT_EQ(again, first) << "the kept frame is used again";
    auto* frame = static_cast<HostVideoFrame*>(again);
    EXPECT_EQ(frame->GetBufferSize(), 2000u);
    EXPECT_EQ(frame->GetDataSize(), 0u);
    EXPECT_EQ(frame->GetFourCC(), 0x4745504Au);
    EXPECT_EQ(frame->GetWidth(), 0u);
    EXPECT_EQ(frame->GetHeight(), 0u);
    EXPECT_EQ(frame->GetResolutionClass(), 0u);
    EXPECT_FALSE(frame->Finished());
    EXPECT_EQ(frame->StreamName(), "rec");
    SYSTEMTIME read{};
    frame->GetTimestamp(&read);
    EXPECT_EQ(read.wYear, 0);

    // Held frames are not handed out twice; a picture larger than any kept frame gets its own.
    IVideoFrame* second = allocator.CreateFrame(0x34363248, 1000, "rec");
    EXPECT_NE(second, again);
    allocator.ReleaseFrame(again);
    IVideoFrame* big = allocator.CreateFrame(0x34363248, 5000, "rec");
    EXPECT_NE(big, again);
    EXPECT_EQ(big->GetBufferSize(), 5000u);
    std::memset(big->GetBuffer(), 0, 5000);

    // Three outstanding, one kept: releasing all keeps one and frees the rest.
    allocator.ReleaseFrame(second);
    allocator.ReleaseFrame(big);
    EXPECT_EQ(allocator.Outstanding(), 0);
    EXPECT_EQ(allocator.Created(), 4u);
}

// Of the kept frames the smallest that fits is taken, so a large key frame's buffer stays for
// the next key frame.
TEST(HostFrameAllocatorTest, TakesTheSmallestKeptFrameThatFits) {
    HostFrameAllocator allocator;
    allocator.KeepReleasedFrames(4);
    IVideoFrame* key = allocator.CreateFrame(1, 100000, "rec");
    IVideoFrame* small = allocator.CreateFrame(1, 20000, "rec");
    allocator.ReleaseFrame(key);
    allocator.ReleaseFrame(small);
    EXPECT_EQ(allocator.CreateFrame(1, 15000, "rec"), small);
    EXPECT_EQ(allocator.CreateFrame(1, 15000, "rec"), key);
    allocator.ReleaseFrame(small);
    allocator.ReleaseFrame(key);
    allocator.KeepReleasedFrames(0);  // frees what it kept
    EXPECT_EQ(allocator.Outstanding(), 0);
}

}  // namespace
}  // namespace quillon::host
