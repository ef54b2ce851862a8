#include "privacy/privacy_zone_handler.h"

#include <gtest/gtest.h>

namespace vornak {
namespace {

TEST(ZoneToRectangleTest, RotationAndMirroring) {
    struct Row {
        ZonePercent zone;
        uint32_t w, h;
        const char* rotation;
        const char* mirror;
        PixelRect expected;
        const char* why;
    };
    const ZonePercent z{10, 10, 20, 20};
    const ZonePercent wide{10, 20, 30, 5};
    const Row rows[] = {
        {z, 1920, 1080, "0", "no", {192, 108, 384, 216}, "upright"},
        {z, 1920, 1080, "180", "no", {1344, 756, 384, 216}, "180 flips both axes"},
        {wide, 1920, 1080, "90", "no", {384, 648, 96, 324}, "90 swaps axes, flips y"},
        {wide, 1920, 1080, "270", "no", {1440, 108, 96, 324}, "270 swaps axes, flips x"},
        {z, 1920, 1080, "0", "YES", {1344, 108, 384, 216}, "mirror flips x, any case"},
        {z, 1920, 1080, "180", "yes", {192, 756, 384, 216}, "180 then mirror"},
        {{0, 0, 1, 1}, 320, 240, "0", "no", {0, 0, 0, 0}, "slivers below 4 px vanish"},
        {{5, 5, 5, 5}, 90, 100, "0", "no", {5, 5, 5, 5}, "4.5 px rounds up to 5"},
        {{90, 90, 50, 50}, 100, 100, "180", "no", {0, 0, 50, 50}, "clamped at the border"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ZoneToRectangle(row.zone, row.w, row.h, row.rotation, row.mirror), row.expected)
            << row.why;
    }
}

TEST(ImageConfigurationTest, ReadsTheSourcesWindowsInOrder) {
    const std::string reply =
        "root.Image.PrivacyMaskType=mask_windows\r\n"
        "root.Image.I0.Appearance.Rotation=180\r\n"
        "root.Image.I0.Appearance.MirrorEnabled=no\r\n"
        "root.Image.I1.Appearance.Rotation=90\r\n"
        "root.Image.I0.Overlay.MaskWindows.Color=black\r\n"
        "root.Image.I0.Overlay.MaskWindows.M2.Enabled=yes\r\n"
        "root.Image.I0.Overlay.MaskWindows.M2.Height=120\r\n"
        "root.Image.I0.Overlay.MaskWindows.M2.Name=Mask 02\r\n"
        "root.Image.I0.Overlay.MaskWindows.M2.Width=200\r\n"
        "root.Image.I0.Overlay.MaskWindows.M2.XPos=100\r\n"
        "root.Image.I0.Overlay.MaskWindows.M2.YPos=50\r\n"
        "root.Image.I0.Overlay.MaskWindows.M0.Enabled=no\r\n"
        "root.Image.I0.Overlay.MaskWindows.M0.Width=x\r\n"
        "root.Image.I1.Overlay.MaskWindows.M5.Enabled=yes\r\n";
    const ImageConfiguration config = ParseImageConfiguration(reply, 0);
    EXPECT_EQ(config.rotation, "180");
    EXPECT_EQ(config.mirror, "no");
    EXPECT_EQ(config.maskType, "mask_windows");
    ASSERT_EQ(config.windows.size(), 2u) << "only source 0's windows";
    EXPECT_EQ(config.windows[0].number, 2u);
    EXPECT_TRUE(config.windows[0].enabled);
    EXPECT_EQ(config.windows[0].x, 100u);
    EXPECT_EQ(config.windows[0].y, 50u);
    EXPECT_EQ(config.windows[0].width, 200u);
    EXPECT_EQ(config.windows[0].height, 120u);
    EXPECT_EQ(config.windows[0].name, "Mask 02");
    EXPECT_EQ(config.windows[1].number, 0u);
    EXPECT_FALSE(config.windows[1].enabled);
    EXPECT_EQ(config.windows[1].width, 0u) << "a value that is no number reads as 0";
}

TEST(CreatedWindowTest, Replies) {
    struct Row {
        const char* reply;
        std::optional<uint32_t> expected;
    };
    const Row rows[] = {
        {"M3 OK", 3u},
        {"M12 OK\r\n", 12u},
        {"M0\r\nOK", 0u},
        {"# Error: template not found", std::nullopt},
        {"M3 failed", std::nullopt},
        {"M OK", std::nullopt},
        {"Mx OK", std::nullopt},
        {"M12345678901234567 OK", std::nullopt},
        {"", std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ParseCreatedWindow(row.reply), row.expected) << row.reply;
    }
    EXPECT_TRUE(IsOkReply("OK\r\n"));
    EXPECT_FALSE(IsOkReply("# Error: Error setting 'root.Image.I0.X' to 'y'!"));
}

}  // namespace
}  // namespace vornak
