// quillon-host's audio-in recorder over a long run: counted, not hoarded.
#include <gtest/gtest.h>

#include "audio/audio_format.h"
#include "audio_session.h"

namespace quillon::host {
namespace {

// A host running for days keeps the count and the newest frame only; tests keep everything.
TEST(AudioInRecorderTest, KeepsEverythingOnlyWhenAsked) {
    for (const bool keepAll : {true, false}) {
        SCOPED_TRACE(keepAll ? "keep all" : "count only");
        AudioInRecorder recorder({}, keepAll);
        EXPECT_EQ(recorder.LastFrame().size, 0u);
        for (uint32_t i = 1; i <= 400; ++i) {
            HostAudioFrame frame(vornak::kCodecG711Mu, i);
            const std::vector<uint8_t> data(i, 0x55);
            frame.SetData(data.data(), i);
            ASSERT_TRUE(recorder.OnAudioFrame(&frame));
        }
        EXPECT_EQ(recorder.FrameCount(), 400u);
        EXPECT_EQ(recorder.LastFrame().size, 400u);
        EXPECT_EQ(recorder.Frames().size(), keepAll ? 400u : 0u);
        EXPECT_EQ(recorder.Bytes().size(), keepAll ? 400u * 401 / 2 : 0u);
    }
}

}  // namespace
}  // namespace quillon::host
