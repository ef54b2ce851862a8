// The simulated parameter database: update, add, remove and the definitions listing.
#include <gtest/gtest.h>

#include "camsim/param_db.h"

namespace camsim {
namespace {

constexpr const char* kProfile = R"(# test profile
@option line_end=lf
@template streamprofile StreamProfile S 3 Name=|Description=|Parameters=
@template 0_maskwindows Image.I0.Overlay.MaskWindows M 2 Enabled=yes|XPos=0|YPos=0
@type root.Image.I0.Stream.FPS int 0 30
@type root.Audio.DuplexMode enum full:Full duplex|half:Half duplex
@type root.Image.I#.Overlay.MaskWindows.M#.XPos int 0 9999
root.Brand.ProdShortName=Cam
root.Image.I0.Stream.FPS=0
root.Image.I0.Overlay.MaskWindows.Color=black
root.Audio.DuplexMode=half
root.Audio.A0.Enabled=no
root.StreamProfile.MaxGroups=2
root.StreamProfile.S0.Name=Quality
root.StreamProfile.S0.Description=
root.StreamProfile.S0.Parameters=videocodec=h264
)";

class ParamDbTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(db_.LoadProfileText(kProfile), std::nullopt); }
    ParamDb db_;
};

TEST_F(ParamDbTest, UpdateValidatesEverythingBeforeStoring) {
    struct Case {
        QueryArgs args;
        std::string reply;
        const char* reason;
    } cases[] = {
        {{{"action", "update"}, {"Audio.DuplexMode", "full"}}, "OK\n", "enum value"},
        {{{"action", "update"}, {"Audio.DuplexMode", "loud"}},
         "# Error: Error setting 'root.Audio.DuplexMode' to 'loud'!\n",
         "not in the enum"},
        {{{"action", "update"}, {"Image.I0.Stream.FPS", "31"}},
         "# Error: Error setting 'root.Image.I0.Stream.FPS' to '31'!\n",
         "above int max"},
        {{{"action", "update"}, {"Audio.A0.Enabled", "yes"}, {"No.Such", "1"}},
         "# Error: Error setting 'root.No.Such' to '1'!\n",
         "unknown name refuses the whole update"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(db_.Update(c.args), c.reply);
    }
    EXPECT_EQ(db_.Get("Audio.DuplexMode"), "full");
    EXPECT_EQ(db_.Get("Audio.A0.Enabled"), "no") << "the refused update changed nothing";

    EXPECT_EQ(db_.Update({{"AUDIO.a0.ENABLED", "yes"}}), "OK\n");
    EXPECT_EQ(db_.List("Audio.A0"), "root.Audio.A0.Enabled=yes\n") << "canonical spelling kept";
}

TEST_F(ParamDbTest, AddUsesLowestFreeIndexAndLimit) {
    QueryArgs add = {{"action", "add"},
                     {"template", "streamprofile"},
                     {"group", "StreamProfile"},
                     {"StreamProfile.S.Name", "Live"},
                     {"StreamProfile.S.Parameters", "videocodec=h264&fps=25"}};
    EXPECT_EQ(db_.Add(add), "S1 OK\n");
    EXPECT_EQ(db_.Get("StreamProfile.S1.Name"), "Live");
    EXPECT_EQ(db_.Get("StreamProfile.S1.Parameters"), "videocodec=h264&fps=25");
    EXPECT_EQ(db_.Get("StreamProfile.S1.Description"), "") << "template default";
    EXPECT_EQ(db_.Add(add).rfind("# Error:", 0), 0u) << "MaxGroups=2 reached";
    EXPECT_EQ(db_.Remove("StreamProfile.S0"), "OK\n");
    EXPECT_EQ(db_.Add(add), "S0 OK\n") << "the freed index is reused first";

    EXPECT_EQ(db_.Add({{"template", "0_maskwindows"},
                       {"group", "Image.I0.Overlay.MaskWindows"},
                       {"Image.I0.Overlay.MaskWindows.M.Xpos", "10"}}),
              "M0 OK\n");
    EXPECT_EQ(db_.Get("Image.I0.Overlay.MaskWindows.M0.XPos"), "10")
        << "initial values match names case-insensitively";
    EXPECT_EQ(db_.Update({{"Image.I0.Overlay.MaskWindows.M0.XPos", "10000"}}).rfind("# Error", 0),
              0u)
        << "types of numbered groups apply";

    struct Bad {
        QueryArgs args;
        const char* reason;
    } bad[] = {
        {{{"template", "nope"}}, "unknown template"},
        {{{"template", "streamprofile"}, {"group", "Motion"}}, "template of another group"},
        {{{"template", "0_maskwindows"}, {"Image.I0.Overlay.MaskWindows.M.Colour", "1"}},
         "parameter the template does not have"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.reason);
        EXPECT_EQ(db_.Add(b.args).rfind("# Error", 0), 0u);
    }
}

TEST_F(ParamDbTest, RemoveOnlyNumberedGroups) {
    EXPECT_EQ(db_.Remove("Audio").rfind("# Error", 0), 0u) << "fixed groups cannot go";
    EXPECT_EQ(db_.Remove("StreamProfile.S0,StreamProfile.S7").rfind("# Error", 0), 0u)
        << "one missing group refuses the whole request";
    EXPECT_TRUE(db_.Get("StreamProfile.S0.Name").has_value());
    EXPECT_EQ(db_.Remove("root.StreamProfile.S0"), "OK\n");
    EXPECT_FALSE(db_.HasGroup("StreamProfile.S0"));
    EXPECT_TRUE(db_.HasGroup("StreamProfile"));
}

TEST_F(ParamDbTest, DefinitionsNestGroupsAndDescribeTypes) {
    std::string xml = db_.ListDefinitions("Audio,Image.I0.Stream");
    EXPECT_NE(xml.find("<parameterDefinitions version=\"1.0\" xmlns=\""), std::string::npos);
    EXPECT_NE(xml.find("<model>Cam</model>"), std::string::npos);
    EXPECT_NE(xml.find("\n    <group name=\"Audio\">\n      <parameter name=\"DuplexMode\""),
              std::string::npos);
    EXPECT_NE(xml.find("<entry value=\"full\" niceValue=\"Full duplex\"/>"), std::string::npos);
    EXPECT_NE(xml.find("<parameter name=\"FPS\" value=\"0\""), std::string::npos);
    EXPECT_NE(xml.find("<int min=\"0\" max=\"30\"/>"), std::string::npos);
    EXPECT_NE(xml.find("<bool true=\"yes\" false=\"no\"/>"), std::string::npos)
        << "yes/no values are booleans";
    // Every opened group is closed.
    size_t opens = 0, closes = 0;
    for (size_t p = 0; (p = xml.find("<group ", p)) != std::string::npos; ++p)
        ++opens;
    for (size_t p = 0; (p = xml.find("</group>", p)) != std::string::npos; ++p)
        ++closes;
    EXPECT_EQ(opens, closes);
    EXPECT_EQ(xml.find("StreamProfile"), std::string::npos) << "only requested groups";
}

TEST(ParamDbProfile, BadLinesNamed) {
    struct Case {
        const char* text;
        const char* error_start;
    } cases[] = {
        {"root.A=1\nno equals sign\n", "line 2"},
        {"@option line_end=cr\n", "line 1"},
        {"@type root.A colour\n", "line 1"},
        {"@template x Y SS 1\n", "line 1"},
        {"@nonsense\n", "line 1"},
    };
    for (const auto& c : cases) {
        ParamDb db;
        auto err = db.LoadProfileText(c.text);
        ASSERT_TRUE(err) << c.text;
        EXPECT_EQ(err->rfind(c.error_start, 0), 0u) << *err;
    }
}

}  // namespace
}  // namespace camsim
