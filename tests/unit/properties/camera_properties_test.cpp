#include "properties/camera_properties.h"

#include <gtest/gtest.h>

#include "properties/capabilities.h"

namespace {

using vornak::CAxisCameraProperties;
using vornak::PtzCapabilities;
using vornak::Size;

std::string Reply(std::initializer_list<const char*> lines) {
    std::string reply;
    for (const char* line : lines) {
        reply += std::string("root.") + line + "\n";
    }
    return reply;
}

vornak::DEVICE_INFO PropertiesDevice() {
    vornak::DEVICE_INFO device;
    device.address = "127.0.0.1";
    device.port = 1;  // nothing is sent by Interpret
    return device;
}

const std::initializer_list<const char*> kBase = {
    "Brand.Brand=AXIS",
    "Brand.ProdFullName=AXIS Q1604 Network Camera",
    "Properties.Firmware.Version=6.50.1",
    "Properties.API.HTTP.Version=3",
    "ImageSource.NbrOfSources=1",
    "Properties.Image.Format=jpeg,mjpeg,h264,mpeg4",
    "Properties.Image.Resolution=1280x720,4CIF,cif,bogus,0x10,640x480"};

TEST(PtzCapabilities, TextForm) {
    PtzCapabilities caps;
    caps.pan = caps.tilt = caps.zoom = caps.areaZoom = caps.center = caps.unzoom = true;
    caps.preset = true;
    EXPECT_EQ(caps.ToText(),
              "Pan=1; Tilt=1; Zoom=1; Focus=0; Iris=0; Unzoom=1; AreaZoom=1; Center=1; Preset=1");
    EXPECT_EQ(PtzCapabilities::FromText(caps.ToText()), caps);
    caps.zoom = false;
    EXPECT_EQ(caps.ToText(), "Pan=1; Tilt=1; Zoom=0; Focus=0; Iris=0; Center=1; Preset=1")
        << "unzoom and area zoom need zoom";
    caps.pan = caps.tilt = false;
    EXPECT_EQ(caps.ToText(), "Pan=0; Tilt=0; Zoom=0; Focus=0; Iris=0; Preset=1")
        << "center needs pan or tilt";
    EXPECT_EQ(PtzCapabilities::FromText("Zoom=1\r\nPan=1;Tilt=0").pan, true);
    EXPECT_EQ(PtzCapabilities::FromText("garbage"), PtzCapabilities{});
}

TEST(ParseResolution, NamesAndSizes) {
    struct Row {
        const char* name;
        bool ntsc;
        uint32_t width;
        uint32_t height;
    };
    const Row rows[] = {
        {"D1", false, 720, 576},   {"d1", true, 720, 480},      {"4CIF", true, 704, 480},
        {"4cif", false, 704, 576}, {"2CIF", true, 704, 240},    {"CIF", false, 352, 288},
        {"QCIF", true, 176, 120},  {"640x480", true, 640, 480}, {"1920X1080", false, 1920, 1080},
    };
    for (const Row& row : rows) {
        const auto size = vornak::ParseResolution(row.name, row.ntsc);
        ASSERT_TRUE(size.has_value()) << row.name;
        EXPECT_EQ(*size, (Size{row.width, row.height})) << row.name;
    }
    for (const char* bad : {"", "x", "0x480", "640x0", "640x", "x480", "2CIFEXP", "-1x5"}) {
        EXPECT_FALSE(vornak::ParseResolution(bad, false).has_value()) << bad;
    }
}

TEST(StreamTexts, IntervalsAndLists) {
    EXPECT_EQ(vornak::FrameInterval(0), 1000u);
    EXPECT_EQ(vornak::FrameInterval(1), 1000u);
    EXPECT_EQ(vornak::FrameInterval(3), 333u);
    EXPECT_EQ(vornak::FrameInterval(25), 40u);
    EXPECT_EQ(vornak::FrameInterval(30), 33u);
    EXPECT_EQ(vornak::FrameInterval(1000), 1u);
    vornak::StreamOffer offer;
    offer.codecs = {"h264", "jpeg"};
    offer.resolutions = {{1280, 720}, {640, 480}};
    EXPECT_EQ(vornak::ResolutionsText(offer, true), "1280x720:33,640x480:33") << "no rates, 60 Hz";
    EXPECT_EQ(vornak::ResolutionsText(offer, false), "1280x720:40,640x480:40") << "no rates, 50 Hz";
    offer.rates = {1, 2, 4};
    offer.defaultRate = 4;
    EXPECT_EQ(vornak::CodecsText(offer), "h264,jpeg");
    EXPECT_EQ(vornak::ResolutionsText(offer, true), "1280x720:250,640x480:250");
    EXPECT_EQ(vornak::FrameRatesText(offer), "values=1000,500,250;default=250");
}

TEST(Interpret, IdentityImageAndResolutions) {
    CAxisCameraProperties reader(PropertiesDevice());
    std::string reply = Reply(kBase);
    reply += Reply({"ImageSource.I0.Video.DetectedType=ntsc", "Properties.Image.NbrOfViews=4"});
    ASSERT_TRUE(reader.Interpret(reply)) << reader.GetErrorText();
    EXPECT_EQ(reader.GetBrand(), "AXIS");
    EXPECT_EQ(reader.GetFirmwareVersion(), "6.50.1");
    EXPECT_EQ(reader.GetApiVersion(), "3");
    EXPECT_EQ(reader.GetVideoFormats(),
              (std::vector<std::string>{"jpeg", "mjpeg", "h264", "mpeg4"}));
    EXPECT_EQ(reader.GetResolutionsText(), "1280x720;4CIF;cif;640x480") << "bad names dropped";
    EXPECT_EQ(reader.GetResolutions(),
              (std::vector<Size>{{1280, 720}, {704, 480}, {352, 240}, {640, 480}}));
    EXPECT_TRUE(reader.IsSixtyHertz());
    EXPECT_EQ(reader.GetMaxFrameRate(), 30u);
    EXPECT_EQ(reader.GetViews(), 4u);
    EXPECT_FALSE(reader.IsNoVideoDevice());
    const auto offers = reader.GetStreamOffers();
    ASSERT_EQ(offers.size(), 1u) << "no stream profiles: live only";
    EXPECT_EQ(offers[0].codecs, (std::vector<std::string>{"h264", "mpeg", "jpeg"}));
}

TEST(Interpret, Failures) {
    struct Row {
        const char* reason;
        std::string reply;
        const char* error;
    };
    const Row rows[] = {
        {"no brand and no product", Reply({"Properties.Image.Format=jpeg"}),
         "The 'Brand.Brand' and 'Brand.ProdFullName' options are not available"},
        {"no image options, an ordinary camera", Reply({"Brand.Brand=AXIS"}),
         "The 'ImageSource.NbrOfSources' and 'Properties.Image.Format' options are not "
         "available"},
        {"no source count", Reply({"Brand.Brand=AXIS", "Properties.Image.Format=jpeg"}),
         "The 'ImageSource.NbrOfSources' option is not available"},
        {"no format list", Reply({"Brand.Brand=AXIS", "ImageSource.NbrOfSources=1"}),
         "The 'Properties.Image.Format' option is not available"},
        {"empty resolution list",
         Reply({"Brand.Brand=AXIS", "ImageSource.NbrOfSources=1", "Properties.Image.Format=jpeg",
                "Properties.Image.Resolution=bogus"}),
         "List of resolutions is empty ('Properties.Image.Resolution' capability)"},
    };
    for (const Row& row : rows) {
        CAxisCameraProperties reader(PropertiesDevice());
        EXPECT_FALSE(reader.Interpret(row.reply)) << row.reason;
        EXPECT_EQ(reader.GetErrorText(), row.error) << row.reason;
    }
}

TEST(Interpret, DevicesWithoutVideo) {
    struct Row {
        const char* reason;
        std::string reply;
        bool noVideo;
    };
    const std::string imageError = "# Error: Error -1 getting param in group 'Image'\n";
    const Row rows[] = {
        {"audio-only model by name", Reply({"Brand.ProdFullName=AXIS P8221 Network I/O Audio"}),
         true},
        {"second audio model", Reply({"Brand.ProdFullName=AXIS A1001 Door Controller"}), true},
        {"no image group but audio",
         Reply({"Brand.Brand=AXIS", "Properties.Audio.Audio=yes"}) + imageError, true},
        {"no image group but an output",
         Reply({"Brand.Brand=AXIS", "Output.NbrOfOutputs=1"}) + imageError, true},
        {"no image group and nothing else", Reply({"Brand.Brand=AXIS"}) + imageError, false},
        {"image properties present after all",
         Reply({"Brand.Brand=AXIS", "Output.NbrOfOutputs=1", "Properties.Image.Rotation=0"}) +
             imageError,
         false},
    };
    for (const Row& row : rows) {
        CAxisCameraProperties reader(PropertiesDevice());
        EXPECT_EQ(reader.Interpret(row.reply), row.noVideo) << row.reason;
        EXPECT_EQ(reader.IsNoVideoDevice(), row.noVideo) << row.reason;
        if (row.noVideo) {
            EXPECT_EQ(reader.GetResolutions(), (std::vector<Size>{{176, 144}})) << row.reason;
            EXPECT_EQ(reader.GetImageSources(), 1u) << row.reason;
            EXPECT_TRUE(reader.GetStreamOffers().empty()) << row.reason;
        }
    }
}

TEST(Interpret, MaximumFrameRate) {
    struct Row {
        const char* reason;
        std::initializer_list<const char*> extra;
        uint32_t fps;
    };
    const Row rows[] = {
        {"MaxFPS given", {"Image.I0.RateControl.MaxFPS=15"}, 15},
        {"model 233M", {"Brand.ProdFullName=AXIS 233M"}, 10},
        {"model M3007", {"Brand.ProdFullName=AXIS M3007"}, 12},
        {"50 Hz source", {"ImageSource.I0.CaptureFrequency=50Hz"}, 25},
        {"PAL without frequency", {"ImageSource.I0.Video.DetectedType=pal"}, 25},
        {"anything else", {}, 30},
    };
    for (const Row& row : rows) {
        CAxisCameraProperties reader(PropertiesDevice());
        std::string reply = Reply(row.extra) + Reply(kBase);  // first value of a key wins
        ASSERT_TRUE(reader.Interpret(reply)) << row.reason;
        EXPECT_EQ(reader.GetMaxFrameRate(), row.fps) << row.reason;
    }
}

TEST(Interpret, MechanicalAndDigitalPtz) {
    struct Row {
        const char* reason;
        std::initializer_list<const char*> lines;
        const char* text;
    };
    const Row rows[] = {
        {"mechanical, area zoom derived",
         {"Properties.PTZ.PTZ=yes", "PTZ.Support.S1.ContinuousPan=true",
          "PTZ.Support.S1.ContinuousTilt=TRUE", "PTZ.Support.S1.ContinuousZoom=true",
          "PTZ.Support.S1.RelativeFocus=false", "PTZ.Support.S1.DevicePreset=true"},
         "Pan=1; Tilt=1; Zoom=1; Focus=0; Iris=0; Unzoom=1; AreaZoom=1; Center=1; Preset=1"},
        {"mechanical, explicit area zoom and absolute zoom off",
         {"Properties.PTZ.PTZ=yes", "PTZ.Support.S1.ContinuousZoom=true",
          "PTZ.Support.S1.ContinuousPan=true", "PTZ.Support.S1.AreaZoom=false",
          "PTZ.Support.S1.AbsoluteZoom=false", "PTZ.Support.S1.RelativeIris=true"},
         "Pan=1; Tilt=0; Zoom=1; Focus=0; Iris=1; Center=1; Preset=0"},
        {"digital",
         {"Properties.PTZ.PTZ=yes", "Properties.PTZ.DigitalPTZ=yes",
          "PTZ.Various.V1.ZoomEnabled=true", "PTZ.Various.V1.PanEnabled=true"},
         "Pan=1; Tilt=0; Zoom=1; Focus=0; Iris=0; Unzoom=1; AreaZoom=1; Center=1; Preset=1"},
        {"model that loses area zoom",
         {"Brand.ProdFullName=AXIS Q7401 Video Encoder", "Properties.PTZ.PTZ=yes",
          "Properties.PTZ.DigitalPTZ=yes", "PTZ.Various.V1.ZoomEnabled=true",
          "PTZ.Various.V1.PanEnabled=true"},
         "Pan=1; Tilt=0; Zoom=1; Focus=0; Iris=0; Unzoom=1; Center=1; Preset=1"},
        {"PTZ not offered",
         {"Properties.PTZ.PTZ=no", "PTZ.Support.S1.ContinuousPan=true"},
         "Pan=0; Tilt=0; Zoom=0; Focus=0; Iris=0; Preset=0"},
    };
    for (const Row& row : rows) {
        CAxisCameraProperties reader(PropertiesDevice());
        ASSERT_TRUE(reader.Interpret(Reply(row.lines) + Reply(kBase))) << row.reason;
        EXPECT_EQ(reader.GetPtz().ToText(), row.text) << row.reason;
    }
}

TEST(Interpret, AudioCountsOnlyWithASupportedFormat) {
    struct Row {
        const char* reason;
        std::initializer_list<const char*> lines;
        uint32_t count;
        const char* formats;
    };
    const Row rows[] = {
        {"audio with aac",
         {"Properties.Audio.Audio=yes", "Properties.Audio.Format=AAC",
          "AudioSource.NbrOfSources=2"},
         2,
         "aac"},
        {"no source count, no input",
         {"Properties.Audio.Audio=Yes", "Properties.Audio.Format=g711"},
         0,
         "g711"},
        {"unsupported format",
         {"Properties.Audio.Audio=yes", "Properties.Audio.Format=opus"},
         0,
         ""},
        {"audio switched off",
         {"Properties.Audio.Audio=no", "Properties.Audio.Format=g711"},
         0,
         ""},
    };
    for (const Row& row : rows) {
        CAxisCameraProperties reader(PropertiesDevice());
        ASSERT_TRUE(reader.Interpret(Reply(row.lines) + Reply(kBase))) << row.reason;
        EXPECT_EQ(reader.GetAudioInput().count, row.count) << row.reason;
        EXPECT_EQ(reader.GetAudioFormats(), row.formats) << row.reason;
    }
    EXPECT_EQ(vornak::CAudioCapabilities{}.ToText(), "Count=0; IsStereo=0");
}

}  // namespace
