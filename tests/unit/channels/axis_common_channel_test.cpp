#include "channels/axis_common_channel.h"

#include <gtest/gtest.h>

namespace vornak {
namespace {

TEST(ResolutionTextTest, DeviceSpellingWins) {
    struct Row {
        uint32_t w, h;
        std::vector<std::string> list;
        const char* expected;
    };
    const Row rows[] = {
        {640, 480, {}, "640x480"},
        {352, 288, {"CIF", "QCIF"}, "CIF"},
        {176, 144, {"CIF", "QCIF"}, "QCIF"},
        {640, 400, {"2CIF", "4CIF"}, "2CIF"},
        {640, 480, {"2CIF", "4CIF"}, "4CIF"},
        {800, 600, {"2CIF", "4CIF"}, "800x600"},
        {1280, 720, {"1920x1080", "1280X720"}, "1280X720"},
        {720, 576, {"D1"}, "D1"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ResolutionText(row.w, row.h, row.list), row.expected) << row.w << "x" << row.h;
    }
}

TEST(MjpegPathTest, RequestFields) {
    EXPECT_EQ(MjpegPath({100, 30, 640, 480, 1}, 1, "640x480", "P1375"),
              "/axis-cgi/mjpg/video.cgi?camera=1&resolution=640x480&compression=70&"
              "colorlevel=25&fps=10");
    EXPECT_EQ(MjpegPath({0, 0, 640, 480, 0}, 2, "4CIF", "P1375"),
              "/axis-cgi/mjpg/video.cgi?camera=2&resolution=4CIF");
    EXPECT_EQ(MjpegPath({0x7019, 95, 0, 0, 0}, 1, "", "AXIS 207MW"),
              "/axis-cgi/mjpg/video.cgi?camera=1&compression=10&colorlevel=25&fps=25");
    EXPECT_EQ(MjpegPath({0, 0, 0, 0, 0}, 1, "", "AXIS 207MW"), "/axis-cgi/mjpg/video.cgi?camera=1");
}

}  // namespace
}  // namespace vornak
