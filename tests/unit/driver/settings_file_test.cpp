#include "driver/settings_file.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "xml/xml_parser.h"

namespace {

using namespace vornak;
namespace s = vornak::settings;

DEVICE_INFO SettingsDevice(const char* address = "10.1.1.1", uint32_t port = 80) {
    DEVICE_INFO device;
    device.address = address;
    device.port = port;
    return device;
}

class HostFolder {
  public:
    HostFolder() {
        char pattern[] = "/tmp/quillon-settings-XXXXXX";
        path_ = mkdtemp(pattern);
        path_ += "/";
    }
    ~HostFolder() { std::filesystem::remove_all(path_); }
    void Write(const std::string& text) const { std::ofstream(path_ + "Quillon.xml") << text; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

TEST(SettingsFile, PathBesideTheHost) {
    EXPECT_EQ(SettingsFilePath("/opt/host/", "Quillon"), "/opt/host/Quillon.xml");
    EXPECT_EQ(SettingsFilePath("/opt/host", "Quillon"), "/opt/host/Quillon.xml");
    EXPECT_EQ(SettingsFilePath("", "Quillon"), "Quillon.xml");
    EXPECT_EQ(SettingsFilePath("/opt/host/", ""), "");
}

TEST(SettingsFile, StreamingModeText) {
    struct Row {
        const char* reason;
        const char* text;
        uint32_t mode;
    };
    const Row rows[] = {
        {"single word, any case", "MultiCast", kStreamingMulticast},
        {"multicast then primary", "multicast primary", kStreamingMulticastPrimary},
        {"primary before multicast does not count", "primary multicast", kStreamingMulticast},
        {"no multicast", "unicast primary", kStreamingUnicast},
        {"empty", "", kStreamingUnicast},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(s::StreamingModeOf(row.text), row.mode) << row.reason;
    }
}

TEST(SettingsFile, ValueCleaningRules) {
    EXPECT_EQ(s::PacketSizeOf("101"), 101u);
    EXPECT_EQ(s::PacketSizeOf(" 1400 "), 1400u) << "blanks around the number";
    EXPECT_EQ(s::PacketSizeOf("1400b"), 0u) << "not a number";
    EXPECT_EQ(s::PacketSizeOf("-1400"), 0u) << "negative";
    EXPECT_EQ(s::PacketSizeOf("99999999999"), 0u) << "overflow";

    EXPECT_EQ(s::ProfileNameOf("my profile!"), "myprofile") << "blank and ! removed";
    EXPECT_EQ(s::ProfileNameOf("A-b_9.z"), "A-b_9z") << "points are not allowed";
    EXPECT_EQ(s::ProfileNameOf(std::string(70, 'q')), std::string(64, 'q')) << "cut to 64";
    EXPECT_EQ(s::ProfileNameOf(std::string(70, 'q') + "!"), std::string(64, 'q'))
        << "removal before the cut";

    EXPECT_EQ(s::RtpModeOf(" rtpovertcp\t"), kRtpOverTcp) << "trimmed, any case";
    EXPECT_EQ(s::RtpModeOf("RTPoverRTSP"), kRtpOverRtsp);
    EXPECT_EQ(s::RtpModeOf("RTPoverUDP"), kRtpOverUdp);
    EXPECT_EQ(s::RtpModeOf("RTP over TCP"), kRtpOverUdp) << "unknown text";

    EXPECT_EQ(s::AudioSourceOf("Microphone"), "mic");
    EXPECT_EQ(s::AudioSourceOf("LINE in"), "line");
    EXPECT_EQ(s::AudioSourceOf("mic or line"), "mic") << "mic wins";
    EXPECT_EQ(s::AudioSourceOf("speaker"), "");

    EXPECT_EQ(s::EncodingOf(" .G711,. "), "g711") << "blanks, points, commas at both ends";
    EXPECT_EQ(s::EncodingOf("AAC 32.0"), "aac 32.0") << "inner characters stay";
    EXPECT_EQ(s::EncodingOf(" ., "), "");

    EXPECT_EQ(s::GainOf("6 dB"), "") << "unit";

    EXPECT_EQ(s::MicrophonePowerOf("TRUE"), kMicrophonePowerOn);
    EXPECT_EQ(s::MicrophonePowerOf("On"), kMicrophonePowerOn);
    EXPECT_EQ(s::MicrophonePowerOf("no"), kMicrophonePowerOff);
    EXPECT_EQ(s::MicrophonePowerOf("False"), kMicrophonePowerOff);
    EXPECT_EQ(s::MicrophonePowerOf("OFF"), kMicrophonePowerOff);
    EXPECT_EQ(s::MicrophonePowerOf("1"), kMicrophonePowerUnset);

    EXPECT_EQ(s::NetworkInterfaceOf(""), 0u);
    EXPECT_EQ(s::NetworkInterfaceOf("127.0.0.5"), inet_addr("127.0.0.5"));
    s::SetNameResolver(&s::ResolveNumericOnly);
    EXPECT_EQ(s::NetworkInterfaceOf(" 127.0.0.6 "), inet_addr("127.0.0.6")) << "trimmed";
    EXPECT_EQ(s::NetworkInterfaceOf("camera.invalid"), 0u) << "unresolvable name";
    s::SetNameResolver(nullptr);
}

constexpr const char* kFile = R"(<?xml version="1.0"?>
<Configuration>
  <StreamingMode>Multicast</StreamingMode>
  <Default>
    <RTPMode>RTPoverHTTP</RTPMode>
    <RTPPacketSize>1400</RTPPacketSize>
    <NetworkInterface>127.0.0.9</NetworkInterface>
    <MulticastProfiles>
      <Profile channel="1" streamType="live">default live!</Profile>
      <Profile channel="2" streamType="recording">second</Profile>
    </MulticastProfiles>
    <ViewAreaConfiguration>
      <Stream type="live">Quad</Stream>
    </ViewAreaConfiguration>
    <AreaViewConfiguration>
      <Stream type="recording">Other</Stream>
    </AreaViewConfiguration>
    <Audio>
      <Input>
        <Source>Line</Source>
        <Encoding>.AAC,</Encoding>
        <InputGain>-6.5</InputGain>
        <MicrophonePower>yes</MicrophonePower>
        <MulticastProfiles><Profile channel="1" streamType="recording">aud</Profile></MulticastProfiles>
      </Input>
      <Output><Encoding>G711</Encoding><OutputGain>+3</OutputGain></Output>
    </Audio>
  </Default>
  <Device address="10.1.1.1" port="80">
    <RTPPacketSize>100</RTPPacketSize>
    <AreaViewConfiguration>
      <Stream type="remote">Wide</Stream>
    </AreaViewConfiguration>
  </Device>
  <Device address="10.1.1.2" port="8080">
    <Audio><Input><Source>mic</Source></Input></Audio>
  </Device>
</Configuration>
)";

TEST(SettingsFile, DeviceSectionWinsEvenWithoutTheKey) {
    CXMLParser xml;
    ASSERT_TRUE(xml.LoadXml(kFile));
    const StreamSettings device = s::Stream(xml, SettingsDevice(), 1, 1);
    EXPECT_EQ(device.streamingMode, kStreamingMulticast);
    EXPECT_EQ(device.rtpMode, kRtpOverUdp) << "the device section has no RTPMode";
    EXPECT_EQ(device.rtpPacketSize, 0u) << "100 is not above 100";
    EXPECT_EQ(device.profileName, "");
    EXPECT_EQ(device.networkInterface, 0u);

    const StreamSettings other = s::Stream(xml, SettingsDevice("10.1.1.1", 81), 1, 1);
    EXPECT_EQ(other.rtpMode, kRtpOverHttp) << "another port: default section";
    EXPECT_EQ(other.rtpPacketSize, 1400u);
    EXPECT_EQ(other.profileName, "defaultlive");
    EXPECT_EQ(other.networkInterface, inet_addr("127.0.0.9"));
    EXPECT_EQ(s::Stream(xml, SettingsDevice("10.1.1.1", 81), 1, 0).profileName, "")
        << "wrong stream type";
    EXPECT_EQ(s::Stream(xml, SettingsDevice("10.1.1.1", 81), 2, 0).profileName, "second");
    EXPECT_EQ(s::Stream(xml, SettingsDevice("10.1.1.1", 81), 1, 7).profileName, "")
        << "unknown kind";
    EXPECT_EQ(s::Stream(xml, SettingsDevice("10.1.1.1\"] | //*[\""), 1, 1).rtpMode, kRtpOverHttp)
        << "an address that cannot be quoted uses no device section";
    // View areas take the second name only when the first is empty.
    EXPECT_EQ(s::ViewAreas(xml, SettingsDevice("10.9.9.9")), (ViewAreaSettings{{1, "quad"}}));
    EXPECT_EQ(s::ViewAreas(xml, SettingsDevice()), (ViewAreaSettings{{2, "wide"}}));
}

TEST(SettingsFile, AudioSectionsHaveTheirOwnPrecedence) {
    CXMLParser xml;
    ASSERT_TRUE(xml.LoadXml(kFile));
    const AudioInputSettings defaults = s::AudioInput(xml, SettingsDevice(), 1);
    EXPECT_EQ(defaults.source, "line") << "device 10.1.1.1 has no audio input section";
    EXPECT_EQ(defaults.encoding, "aac");
    EXPECT_EQ(defaults.inputGain, "-6.5");
    EXPECT_EQ(defaults.microphonePower, kMicrophonePowerOn);
    EXPECT_EQ(defaults.profileName, "aud");
    EXPECT_EQ(defaults.streamingMode, kStreamingMulticast);

    const AudioInputSettings own = s::AudioInput(xml, SettingsDevice("10.1.1.2", 8080), 1);
    EXPECT_EQ(own.source, "mic");
    EXPECT_EQ(own.encoding, "") << "own section without Encoding";
    EXPECT_EQ(own.microphonePower, kMicrophonePowerUnset);

    const AudioOutputSettings output = s::AudioOutput(xml, SettingsDevice());
    EXPECT_EQ(output.encoding, "g711");
    EXPECT_EQ(output.outputGain, "") << "plus sign";
}

TEST(SettingsFile, ReadAfreshFromTheHostFolderOnEveryCall) {
    HostFolder folder;
    EXPECT_EQ(ReadStreamingMode(folder.path()), kStreamingUnicast) << "no file";
    EXPECT_EQ(ReadStreamSettings(folder.path(), SettingsDevice(), 1, 1).rtpMode, kRtpOverUdp);
    folder.Write(kFile);
    EXPECT_EQ(ReadStreamingMode(folder.path()), kStreamingMulticast);
    EXPECT_EQ(ReadStreamSettings(folder.path(), SettingsDevice("10.1.1.3"), 1, 1).rtpMode,
              kRtpOverHttp);
    EXPECT_EQ(ReadAudioInputSettings(folder.path(), SettingsDevice(), 1).source, "line");
    EXPECT_EQ(ReadAudioOutputSettings(folder.path(), SettingsDevice()).encoding, "g711");
    EXPECT_EQ(ReadViewAreaSettings(folder.path(), SettingsDevice()).at(2), "wide");
    folder.Write("<Configuration><StreamingMode>multicast primary</StreamingMode>");
    EXPECT_EQ(ReadStreamingMode(folder.path()), kStreamingUnicast) << "broken file: defaults";
    folder.Write("<Configuration><StreamingMode>multicast primary</StreamingMode></Configuration>");
    EXPECT_EQ(ReadStreamingMode(folder.path()), kStreamingMulticastPrimary);
    EXPECT_EQ(ReadStreamingMode(folder.path(), ""), kStreamingUnicast) << "no driver name";
}

}  // namespace
