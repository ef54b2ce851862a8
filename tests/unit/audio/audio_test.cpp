// Audio configuration against the device's definitions, frame cutting and AU headers, the
// output encoding choice and the capture object's options.
#include <gtest/gtest.h>

#include <cstring>

#include "audio/audio_definitions.h"
#include "audio/audio_input.h"
#include "audio/audio_output.h"
#include "audio/audio_parser.h"
#include "audio_session.h"
#include "stub_driver.h"

namespace vornak::test {
namespace {

// A device with every audio parameter at a value that needs no change.
constexpr const char* kSettledList =
    "root.Audio.DuplexMode=full\nroot.Audio.A0.Enabled=yes\n"
    "root.AudioSource.A0.AudioEncoding=g711\nroot.AudioSource.A0.BitRate=64000\n"
    "root.AudioSource.A0.SampleRate=8000\nroot.AudioSource.A0.InputType=mic\n"
    "root.AudioSource.A0.InputGain=0\nroot.AudioSource.A0.MicrophonePower=no\n"
    "root.Properties.Audio.DuplexMode=full,half,post,get\n";

std::string Replace(std::string list, const std::string& name, const std::string& value) {
    const size_t at = list.find("root." + name + "=");
    const size_t end = list.find('\n', at);
    return list.replace(at, end - at, "root." + name + "=" + value);
}

std::string DefinitionsXml(const std::string& gainType, const std::string& encodings,
                           bool withNamespace = true) {
    auto entries = [](const std::string& values) {
        std::string out;
        size_t start = 0;
        while (start < values.size()) {
            const size_t end = values.find(',', start);
            out += "<entry value=\"" + values.substr(start, end - start) + "\"/>";
            start = end == std::string::npos ? values.size() : end + 1;
        }
        return out;
    };
    return std::string("<?xml version=\"1.0\"?><parameterDefinitions") +
           (withNamespace ? " xmlns=\"http://www.axis.com/ParameterDefinitionsSchema\"" : "") +
           "><group name=\"root\"><group name=\"AudioSource\"><group name=\"A0\">"
           "<parameter name=\"AudioEncoding\"><type><enum>" +
           entries(encodings) +
           "</enum></type></parameter>"
           "<parameter name=\"InputType\"><type><enum><entry value=\"mic\"/><entry "
           "value=\"line\"/></enum></type></parameter>"
           "<parameter name=\"InputGain\"><type>" +
           gainType +
           "</type></parameter><parameter name=\"MicrophonePower\"><type><bool true=\"yes\" "
           "false=\"no\"/></type></parameter></group></group></group></parameterDefinitions>";
}

const std::string kGains =
    "<enum>"
    "<entry value=\"mute\"/><entry value=\"-6\"/><entry "
    "value=\"0\"/><entry value=\"6\"/><entry value=\"12\"/></enum>";

TEST(AudioInputUpdate, SettingsAgainstDefinitions) {
    struct Row {
        const char* why;
        bool duplex;
        std::vector<std::pair<std::string, std::string>> device;
        AudioInputSettings settings;
        std::string gainType = kGains;
        std::string encodings = "g711,g726,aac";
        std::string update;
        uint32_t codec = kCodecG711Mu;
        uint32_t bitRate = 64000;
        bool withNamespace = true;
    };
    auto settings = [](std::string source, std::string encoding, std::string gain,
                       uint32_t power = kMicrophonePowerUnset) {
        AudioInputSettings s;
        s.source = source;
        s.encoding = encoding;
        s.inputGain = gain;
        s.microphonePower = power;
        return s;
    };
    const std::string p = "&AudioSource.A0.";
    const Row rows[] = {
        {"half duplex without audio out is left alone, the channel enabled",
         false,
         {{"Audio.DuplexMode", "half"}, {"Audio.A0.Enabled", "no"}},
         {},
         kGains,
         "g711",
         "&Audio.A0.Enabled=yes"},
        {"half duplex with audio out becomes full",
         true,
         {{"Audio.DuplexMode", "half"}},
         {},
         kGains,
         "g711",
         "&Audio.DuplexMode=full"},
        {"full is asked for only where offered",
         true,
         {{"Audio.DuplexMode", "half"}, {"Properties.Audio.DuplexMode", "half,get"}},
         {},
         kGains,
         "g711",
         ""},
        {"speaker-only without audio out turns to get",
         false,
         {{"Audio.DuplexMode", "post"}},
         {},
         kGains,
         "g711",
         "&Audio.DuplexMode=get"},
        {"gain 5 takes the next permitted, 6",
         false,
         {},
         settings("", "", "5"),
         kGains,
         "g711",
         p + "InputGain=6"},
        {"gain 20 takes the largest, 12",
         false,
         {},
         settings("", "", "20"),
         kGains,
         "g711",
         p + "InputGain=12"},
        {"an empty gain setting changes nothing",
         false,
         {{"AudioSource.A0.InputGain", "6"}},
         settings("", "", ""),
         kGains,
         "g711",
         ""},
        {"a gain typed <int> names no values: nothing",
         false,
         {},
         settings("", "", "5"),
         "<int min=\"-6\" max=\"12\"/>",
         "g711",
         ""},
        {"a gain of only mute: nothing",
         false,
         {},
         settings("", "", "5"),
         "<enum><entry value=\"mute\"/></enum>",
         "g711",
         ""},
        {"microphone power Yes switches the power on",
         false,
         {},
         settings("mic", "", "", kMicrophonePowerOn),
         kGains,
         "g711",
         p + "MicrophonePower=yes"},
        {"line input", false, {}, settings("line", "", ""), kGains, "g711", p + "InputType=line"},
        {"G.711 asked of a g726-only device keeps g726; 16000 turns to 32000",
         false,
         {{"AudioSource.A0.AudioEncoding", "g726"}, {"AudioSource.A0.BitRate", "16000"}},
         settings("", "g711", ""),
         kGains,
         "g726",
         p + "BitRate=32000",
         kCodecG726,
         32000},
        {"g726-24 sets encoding and bit rate",
         false,
         {},
         settings("", "g726-24", ""),
         kGains,
         "g711,g726",
         p + "AudioEncoding=g726" + p + "BitRate=24000",
         kCodecG726,
         24000},
        {"a sample rate other than 8000 is set back",
         false,
         {{"AudioSource.A0.SampleRate", "16000"}},
         {},
         kGains,
         "g711",
         p + "SampleRate=8000"},
        {"a document without the schema namespace reads the same",
         false,
         {},
         settings("", "", "5"),
         kGains,
         "g711",
         p + "InputGain=6",
         kCodecG711Mu,
         64000,
         false},
    };
    for (const Row& row : rows) {
        std::string list = kSettledList;
        for (const auto& [name, value] : row.device) {
            list = Replace(list, name, value);
        }
        CAxisAudioDefinitions definitions;
        ASSERT_TRUE(definitions.Load(DefinitionsXml(row.gainType, row.encodings, row.withNamespace),
                                     "AudioSource.A0"))
            << row.why;
        const AudioInputPlan plan =
            BuildAudioUpdate({0, row.duplex, row.settings, {"g711", "g726"}}, list, definitions);
        EXPECT_EQ(plan.update, row.update) << row.why;
        EXPECT_EQ(plan.format.codec, row.codec) << row.why;
        EXPECT_EQ(plan.format.bitRate, row.bitRate) << row.why;
    }
}

class AudioParserTest : public ::testing::Test {
  protected:
    AudioParserTest() { driver_.allocator = &allocator_; }
    std::vector<quillon::host::AudioInRecorder::Frame> Feed(AudioFormat format,
                                                            std::span<const uint8_t> bytes,
                                                            size_t read, bool* accepted) {
        quillon::host::AudioInRecorder recorder;
        CAxisAudioParser parser(&driver_, &recorder, true);
        parser.LoadFormat(format);
        *accepted = true;
        for (size_t at = 0; at < bytes.size(); at += read) {
            *accepted =
                parser.Parse(bytes.subspan(at, std::min(read, bytes.size() - at))) && *accepted;
        }
        bytes_ = recorder.Bytes();
        return recorder.Frames();
    }
    StubDriver driver_;
    quillon::host::HostFrameAllocator allocator_;
    std::vector<uint8_t> bytes_;
};

// Reads of 160 bytes divide none of the sizes: each frame is cut exactly at its boundary.
TEST_F(AudioParserTest, FramesOfTheCodecSizeWithTags) {
    const struct {
        uint32_t codec, bitRate, size;
    } rows[] = {{kCodecG711Mu, 64000, 2000}, {kCodecG711A, 64000, 2000}, {kCodecG726, 16000, 500},
                {kCodecG726, 24000, 750},    {kCodecG726, 32000, 1000},  {kCodecG726, 40000, 1250},
                {kCodecG726, 0, 8000}};
    for (const auto& row : rows) {
        std::vector<uint8_t> input(2 * row.size + 100);
        for (size_t i = 0; i < input.size(); ++i) {
            input[i] = static_cast<uint8_t>(i * 7);
        }
        bool accepted = false;
        const auto frames = Feed({row.codec, 8000, row.bitRate, 16}, input, 160, &accepted);
        ASSERT_EQ(frames.size(), 2u) << row.size;
        for (const auto& f : frames) {
            EXPECT_EQ(f.size, row.size);
            EXPECT_EQ(f.codec, row.codec);
            EXPECT_EQ(f.sampleRate, 8000u);
            EXPECT_EQ(f.formatWord, 16u);
            EXPECT_EQ(f.bitRate, row.bitRate);
            EXPECT_TRUE(f.live);
        }
        EXPECT_TRUE(std::equal(bytes_.begin(), bytes_.end(), input.begin())) << "order kept";
    }
    EXPECT_EQ(allocator_.Outstanding(), 0);
}

TEST_F(AudioParserTest, AacAccessUnitsAreBoundsChecked) {
    auto unit = [](std::vector<uint8_t> payload, uint16_t headerBits, size_t size) {
        std::vector<uint8_t> out = {
            static_cast<uint8_t>(headerBits >> 8), static_cast<uint8_t>(headerBits),
            static_cast<uint8_t>((size << 3) >> 8), static_cast<uint8_t>(size << 3)};
        out.insert(out.end(), payload.begin(), payload.end());
        return out;
    };
    std::vector<uint8_t> two = unit(std::vector<uint8_t>(300, 0x21), 16, 300);
    const std::vector<uint8_t> second = unit({1, 2, 3}, 16, 3);
    two.insert(two.end(), second.begin(), second.end());
    const struct {
        const char* why;
        std::vector<uint8_t> input;
        bool accepted;
        std::vector<uint32_t> sizes;  // with the two configuration bytes
    } rows[] = {
        {"two units, a size above 255 read big-endian", two, true, {302, 5}},
        {"header length other than 16", unit({1, 2}, 32, 2), false, {}},
        {"size beyond the data", unit({1, 2}, 16, 3), false, {}},
        {"size 0", unit({}, 16, 0), false, {}},
        {"a good unit followed by a cut header",
         [&] {
             auto v = unit({1, 2}, 16, 2);
             v.push_back(0);
             return v;
         }(),
         false,
         {}},
    };
    for (const auto& row : rows) {
        bool accepted = false;
        const auto frames = Feed({kCodecAac, 8000, 0, 16}, row.input, row.input.size(), &accepted);
        EXPECT_EQ(accepted, row.accepted) << row.why;
        std::vector<uint32_t> sizes;
        for (const auto& f : frames) {
            sizes.push_back(f.size);
        }
        EXPECT_EQ(sizes, row.sizes) << row.why;
    }
    // Object type 2, rate index 11 (8000 Hz), one channel.
    EXPECT_EQ(CAxisAudioParser::AacConfig(8000), (std::vector<uint8_t>{0x15, 0x88}));
}

class FormatsDriver : public StubDriver {
  public:
    std::string GetParameter(uint32_t id) override {
        return id == kParamAudioFormats ? formats : "";
    }
    std::string formats;
};

TEST(AudioOutputEncoding, ChosenFromDeviceHostAndSetting) {
    const struct {
        const char* why;
        const char* formats;
        bool hostOffersG726;
        const char* setting;
        AudioOutputEncoding expected;
    } rows[] = {
        {"setting with bit rate", "g711,g726,aac", true, "g726-24", {kCodecG726, 24000}},
        {"empty setting: first supported", "g711;g726", true, "", {kCodecG711Mu, 64000}},
        {"unsupported setting: first supported", "g726,aac", true, "aac", {kCodecG726, 32000}},
        {"G.726 the host does not offer", "g726", false, "g726", {kCodecG711Mu, 64000}},
        {"a bit rate G.726 output does not take", "g726", true, "g726-16", {kCodecG726, 32000}},
    };
    for (const auto& row : rows) {
        FormatsDriver driver;
        driver.formats = row.formats;
        quillon::host::HostAudioCodecs codecs;
        codecs.Set(kCodecG726, row.hostOffersG726, false);
        EXPECT_EQ(ChooseOutputEncoding(driver, &codecs, row.setting), row.expected) << row.why;
    }
}

TEST(AudioCapture, AnswersTheVideoOptionsBySize) {
    StubDriver driver;
    CAxisIPAudioCapture capture(nullptr, 1, &driver);
    const struct {
        const char* name;
        uint32_t size;
        bool ok;
        uint32_t value;
    } rows[] = {{"MAXFPS_RES2", 4, true, 25},
                {"MAXFPS_RES2", 8, false, 0},
                {"isIPCamera", 8, true, 1},
                {"CanChangeFrInAlm", 4, true, 1},
                {"isIPCamera", 2, false, 0},
                {"Unknown", 4, false, 0},
                {"", 4, false, 0}};
    for (const auto& row : rows) {
        uint32_t buffer[2] = {0, 0};
        EXPECT_EQ(capture.GetOption(row.name, buffer, row.size), row.ok) << row.name;
        EXPECT_EQ(buffer[0], row.value) << row.name;
    }
    EXPECT_FALSE(capture.GetOption(nullptr, nullptr, 4));
}

}  // namespace
}  // namespace vornak::test
