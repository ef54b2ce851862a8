// Configuration replies from the device that the multicast and audio set-up read: the stream
// profile list (find, count, merge, update), the answer to a profile add, the audio parameter
// list and definitions, the RTSP port and update replies, the image settings and mask windows
// that privacy zones read. The first byte picks a profile name length; the rest is the reply,
// also used as the camera's answer to every request.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "audio/audio_definitions.h"
#include "channels/rtsp_channel.h"
#include "multicast/profile_manager.h"
#include "privacy/privacy_zone_handler.h"

namespace {

class ReplyProfileManager : public vornak::CAxisProfileManager {
  public:
    explicit ReplyProfileManager(std::string_view reply)
        : CAxisProfileManager(nullptr, "fuzz"), reply_(reply) {}

  protected:
    bool RequestGet(const std::string&, std::string& response) override {
        response = reply_;
        return !reply_.empty();
    }
    void GetDesiredParameters(vornak::ProfileParams& params) override {
        params = {{"resolution", "640x480"}, {"videocodec", "h264"}, {"fps", "25"}};
    }
    std::string GetDefaultProfileName() override { return "Vorn01Live"; }
    std::string GetProfileDescription() override { return "Multicast%20profile"; }

  private:
    std::string reply_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const size_t nameLength = data[0] % 16;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string name(rest.substr(0, nameLength));
    const std::string_view reply = rest.substr(std::min(nameLength, rest.size()));

    (void)vornak::FindProfileGroup(reply, name);
    (void)vornak::CountProfiles(reply);
    (void)vornak::ProfileAddAccepted(reply);
    (void)vornak::MergeProfileParams(reply, {{"resolution", "640x480"}, {"fps", "25"}});
    {
        ReplyProfileManager manager(reply);
        (void)manager.VerifyStreamProfile(name, reply, "RTSP multicast video");
        (void)manager.UpdateStreamProfile(name, reply);
        (void)manager.ProcessRTSPConfiguration(reply, data[0] & 0x80, "fuzz", "");
    }

    vornak::CAxisAudioDefinitions definitions;
    (void)definitions.Load(reply, "AudioSource.A0");
    vornak::AudioInputPlanRequest request;
    request.duplex = data[0] & 0x40;
    // Whole strings: GCC 12 at -O3 warns, wrongly, of an uninitialized read on assigning literals.
    request.settings.encoding = std::string("g711");
    request.settings.inputGain = std::string("10");
    request.supported = {"g711", "g726", "aac"};
    (void)vornak::BuildAudioUpdate(request, reply, definitions);
    (void)vornak::BuildAudioOutputUpdate(0, "0", reply, &definitions);

    (void)vornak::RtspPortOf(reply);
    (void)vornak::ParameterUpdateAccepted(200, reply);
    (void)vornak::ParseImageConfiguration(reply, data[0] % 4);
    (void)vornak::ParseCreatedWindow(reply);
    return 0;
}
