// Stream profiles and the choice of the camera's own sender on a multicast group.
#include <gtest/gtest.h>

#include <map>

#include "audio/multicast_audio.h"
#include "multicast/profile_manager.h"
#include "multicast/sender_selector.h"
#include "multicast_status.h"
#include "recording_debug.h"

namespace vornak {
namespace {

using test::RecordingDebug;

constexpr uint32_t kSelectorCamera = 0x0100007F;  // 127.0.0.1 in network order
constexpr uint32_t kSelectorOther = 0x0200007F;

struct SenderSelectorStep {
    bool play;  // a PLAY answer with rtpTime = timestamp; otherwise a packet
    uint32_t sender;
    uint32_t ssrc;
    uint8_t payloadType;
    uint32_t timestamp;
    CMulticastSenderSelector::Verdict expected;
};

struct SenderSelectorCase {
    const char* why;
    std::vector<SenderSelectorStep> steps;
};

using SelectorVerdict = CMulticastSenderSelector::Verdict;
SenderSelectorStep SelectorPlay(uint32_t rtpTime) {
    return {true, 0, 0, 0, rtpTime, SelectorVerdict::kDrop};
}
SenderSelectorStep SelectorPacket(uint32_t ssrc, uint32_t timestamp, SelectorVerdict expected,
                                  uint32_t sender = kSelectorCamera, uint8_t payloadType = 96) {
    return {false, sender, ssrc, payloadType, timestamp, expected};
}

TEST(MulticastSenderSelector, TakesOnlyTheSenderThatStartedAtPlay) {
    const SenderSelectorCase cases[] = {
        {"the sender at the PLAY time is taken, another is not",
         {SelectorPlay(1000), SelectorPacket(7, 50'000'000, SelectorVerdict::kDrop),
          SelectorPacket(5, 1000, SelectorVerdict::kNewlyAccepted),
          SelectorPacket(5, 4600, SelectorVerdict::kAccepted),
          SelectorPacket(7, 50'003'600, SelectorVerdict::kDrop)}},
        {"the window wraps past 2^32",
         {SelectorPlay(0xFFFFF000u),
          SelectorPacket(5, 0x00001000u, SelectorVerdict::kNewlyAccepted)}},
        {"91000 ticks after PLAY is too late",
         {SelectorPlay(1000), SelectorPacket(5, 92000, SelectorVerdict::kDrop),
          SelectorPacket(5, 91999, SelectorVerdict::kNewlyAccepted)}},
        {"before this session's PLAY no sender is taken, even one near zero",
         {SelectorPacket(5, 10, SelectorVerdict::kDrop),
          SelectorPacket(5, 3610, SelectorVerdict::kDrop)}},
        {"a sender seen before PLAY that started exactly at its time is taken at PLAY",
         {SelectorPacket(5, 1000, SelectorVerdict::kDrop),
          SelectorPacket(7, 900, SelectorVerdict::kDrop), SelectorPlay(1000),
          SelectorPacket(5, 4600, SelectorVerdict::kAccepted),
          SelectorPacket(7, 4500, SelectorVerdict::kDrop)}},
        {"another address or payload type is never taken",
         {SelectorPlay(1000), SelectorPacket(5, 1000, SelectorVerdict::kDrop, kSelectorOther),
          SelectorPacket(5, 1000, SelectorVerdict::kDrop, kSelectorCamera, 97),
          SelectorPacket(5, 1000, SelectorVerdict::kNewlyAccepted)}},
    };
    for (const SenderSelectorCase& c : cases) {
        CMulticastSenderSelector selector;
        // A time from an earlier session must not carry over.
        selector.OnPlay(10);
        selector.Reset(kSelectorCamera);
        selector.SetPayloadType(96);
        size_t step = 0;
        for (const SenderSelectorStep& s : c.steps) {
            ++step;
            if (s.play) {
                selector.OnPlay(s.timestamp);
                continue;
            }
            CRTPPacket packet;
            packet.ssrc = s.ssrc;
            packet.payloadType = s.payloadType;
            packet.timestamp = s.timestamp;
            EXPECT_EQ(selector.Take(s.sender, packet), s.expected) << c.why << ", step " << step;
        }
    }
}

TEST(StreamProfileText, MergesAndEncodes) {
    const ProfileParams desired{{"resolution", "640x480"}, {"fps", "25"}, {"videocodec", "h264"}};
    const struct {
        const char* why;
        const char* current;
        const char* expected;
    } cases[] = {
        {"every value as desired (keys in any case): no update",
         "videocodec=h264&FPS=25&resolution=640x480", ""},
        {"a changed value is replaced in place, others kept, a missing key appended",
         "resolution=320x240&compression=30&videocodec=h264",
         "resolution%3d640x480%26compression%3d30%26videocodec%3dh264%26fps%3d25"},
        {"kept values keep blanks, '%', '#' and '+' through the URL",
         "resolution=640x480&fps=25&videocodec=mpeg4&text=A b%c#d+e",
         "resolution%3d640x480%26fps%3d25%26videocodec%3dh264%26text%3dA%20b%25c%23d%2Be"},
        {"an empty value gets every desired pair", "",
         "resolution%3d640x480%26fps%3d25%26videocodec%3dh264"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MergeProfileParams(c.current, desired), c.expected) << c.why;
    }
}

TEST(StreamProfileList, FindsAndCountsPrefixedLines) {
    const std::string list =
        "root.StreamProfile.MaxGroups=3\r\nroot.StreamProfile.S0.Name=Quality\r\n"
        "root.StreamProfile.S0.Parameters=fps=5\r\nStreamProfile.S1.Name=Vorn01Live\r\n"
        "root.StreamProfile.S1.Parameters=\r\nroot.StreamProfile.S12.Description=x\r\n";
    EXPECT_EQ(CountProfiles(list), 2u);
    EXPECT_EQ(FindProfileGroup(list, "vorn01live").value_or(""), "StreamProfile.S1");
    EXPECT_EQ(FindProfileGroup(list, "Quality").value_or(""), "StreamProfile.S0");
    EXPECT_FALSE(FindProfileGroup(list, "Balanced"));
    EXPECT_FALSE(FindProfileGroup("root.StreamProfile.S0.Name=Quality\n", "Quality"))
        << "without MaxGroups nothing is found";

    const struct {
        const char* answer;
        bool accepted;
    } answers[] = {{"S5 OK\r\n", true},
                   {"", false},  // an empty answer created nothing
                   {"# Error: Maximum number of groups reached", false},
                   {"S5 Error", false}};
    for (const auto& a : answers) {
        EXPECT_EQ(ProfileAddAccepted(a.answer), a.accepted) << "'" << a.answer << "'";
    }
}

// The manager's requests against a camera whose answers are scripted by URL prefix.
class ScriptedProfileManager : public CAxisProfileManager {
  public:
    explicit ScriptedProfileManager(RecordingDebug& debug)
        : CAxisProfileManager(&debug, "camera 127.0.0.1") {}
    std::map<std::string, std::string> answers;
    std::vector<std::string> requests;

  protected:
    bool RequestGet(const std::string& url, std::string& response) override {
        requests.push_back(url);
        for (const auto& [prefix, answer] : answers) {
            if (url.starts_with(prefix)) {
                response = answer;
                return true;
            }
        }
        return false;
    }
    void GetDesiredParameters(ProfileParams& params) override {
        params = {{"resolution", "640x480"}, {"videocodec", "h264"}};
    }
    std::string GetDefaultProfileName() override { return "Vorn01Live"; }
    std::string GetProfileDescription() override { return "Multicast%20profile"; }
};

TEST(StreamProfileManager, CreatesUpdatesOrLeavesTheProfile) {
    const std::string header = "root.StreamProfile.MaxGroups=2\r\n";
    const std::string quality =
        "root.StreamProfile.S0.Name=Quality\r\nroot.StreamProfile.S0.Parameters=fps=5\r\n";
    const std::string ours =
        "root.StreamProfile.S1.Name=Vorn01Live\r\n"
        "root.StreamProfile.S1.Parameters=resolution=640x480&videocodec=h264\r\n";
    const struct {
        const char* why;
        std::string list;
        std::string name;
        bool result;
        std::string request;  // the one request expected, "" for none
        const char* logged;
    } cases[] = {
        {"missing: created with name, description and parameters", header + quality, "", true,
         "/axis-cgi/param.cgi?action=add&template=streamprofile&group=StreamProfile"
         "&StreamProfile.S.Name=Vorn01Live&StreamProfile.S.Description=Multicast%20profile"
         "&StreamProfile.S.Parameters=resolution%3d640x480%26videocodec%3dh264",
         ""},
        {"matching: no request", header + quality + ours, "", true, "", ""},
        {"differing: one update of its group", header + quality, "quality", true,
         "/axis-cgi/param.cgi?action=update&StreamProfile.S0.Parameters="
         "fps%3d5%26resolution%3d640x480%26videocodec%3dh264",
         ""},
        {"the table is full: the limit message and no add",
         "root.StreamProfile.MaxGroups=1\r\n" + quality, "", false, "",
         "already has 1 profiles created"},
        {"no MaxGroups", quality, "", false, "", "Unable to read 'StreamProfile.MaxGroups'"},
    };
    for (const auto& c : cases) {
        RecordingDebug debug;
        ScriptedProfileManager manager(debug);
        manager.answers["/axis-cgi/param.cgi?action=add"] = "S1 OK\r\n";
        manager.answers["/axis-cgi/param.cgi?action=update"] = "OK\r\n";
        EXPECT_EQ(manager.UpdateStreamProfile(c.name, c.list), c.result) << c.why;
        EXPECT_EQ(manager.requests, c.request.empty() ? std::vector<std::string>{}
                                                      : std::vector<std::string>{c.request})
            << c.why;
        if (*c.logged != '\0') {
            EXPECT_EQ(debug.Count(c.logged), 1u) << c.why;
        }
    }
}

TEST(StreamProfileManager, VerifiesOrFallsBackToTheDefault) {
    const std::string list =
        "root.StreamProfile.MaxGroups=2\r\nroot.StreamProfile.S0.Name=Vorn01Live\r\n"
        "root.StreamProfile.S0.Parameters=fps=5\r\n";
    const struct {
        const char* name;
        std::string fullList;
        bool result;
        const char* profile;
        const char* logged;
    } cases[] = {
        {"vorn01live", list, true, "vorn01live", ""},
        {"Balanced", list, true, "Vorn01Live", "will use default 'Vorn01Live' profile"},
        {"Balanced", "root.StreamProfile.MaxGroups=2\r\n", false, "", "'Balanced' profile"},
        {"", "root.StreamProfile.MaxGroups=2\r\n", false, "", "'Vorn01Live' profile"},
    };
    for (const auto& c : cases) {
        RecordingDebug debug;
        ScriptedProfileManager manager(debug);
        EXPECT_EQ(manager.VerifyStreamProfile(c.name, c.fullList, "RTSP multicast video"), c.result)
            << c.name;
        if (c.result) {
            EXPECT_EQ(manager.ProfileName(), c.profile);
            EXPECT_EQ(manager.ProfileParameters(), "fps=5");
        }
        if (*c.logged != '\0') {
            EXPECT_EQ(debug.Count(c.logged), 1u) << c.name;
        }
        EXPECT_TRUE(manager.requests.empty());
    }
}

TEST(MulticastAudioFormat, FollowsTheSessionDescription) {
    const struct {
        uint8_t payloadType;
        const char* encoding;
        uint32_t codec, bitRate, sampleRate, frameSize;
    } cases[] = {
        {0, "", kCodecG711Mu, 64000, 8000, 2000},  // static type, no rtpmap
        {8, "PCMA/8000", kCodecG711A, 64000, 8000, 2000},
        {97, "G726-24/8000", kCodecG726, 24000, 8000, 750},
        {96, "pcmu/16000", kCodecG711Mu, 64000, 16000, 0},
        {96, "MPEG4-GENERIC/16000", 0, 0, 0, 0},  // AAC has no tag here
        {96, "G726/8000", 0, 0, 0, 0},            // no bit rate
        {14, "MPA/90000", 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        MediaDescription audio;
        audio.payloadType = c.payloadType;
        audio.encoding = c.encoding;
        const AudioFormat format = AudioFormatOfMedia(audio);
        EXPECT_EQ(format.codec, c.codec) << c.encoding;
        if (c.codec != 0) {
            EXPECT_EQ(format.bitRate, c.bitRate) << c.encoding;
            EXPECT_EQ(format.sampleRate, c.sampleRate) << c.encoding;
        }
        if (c.frameSize != 0) {
            EXPECT_EQ(AudioFrameSize(format.codec, format.bitRate), c.frameSize) << c.encoding;
        }
    }
}

TEST(HostMulticastGroups, NamesTheLatestGroupOfTheStream) {
    const std::string join = "vornak::CBaseMulticastRTSPChannel::JoinGroup: Multicast video of ";
    quillon::host::MulticastGroups groups;
    groups.Note(join + "channel 0 stream 0 arrives on group 239.1.1.1:50000");
    groups.Note(join + "channel 0 stream 1 arrives on group 239.1.1.1:50002");
    groups.Note("vornak::CBaseMulticastRTSPChannel: Multicast video of channel 2 stream");
    groups.Note(join + "channel 0 stream 0 arrives on group 239.2.2.2:50004");
    EXPECT_EQ(groups.Text(0, 0, 0), "unicast");
    EXPECT_EQ(groups.Text(2, 0, 0), "multicast 239.2.2.2:50004");
    EXPECT_EQ(groups.Text(1, 0, 1), "multicast 239.1.1.1:50002");
    EXPECT_EQ(groups.Text(2, 1, 0), "multicast") << "not joined yet";
    EXPECT_EQ(groups.Text(2, 2, 0), "multicast") << "a cut line names no group";
}

}  // namespace
}  // namespace vornak
