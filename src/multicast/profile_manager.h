// Camera stream profiles for multicast streams: finding a profile by name, bringing its
// parameters up to date or creating it, and the camera's RTSP configuration.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/debug.h"

namespace vornak {

// Key/value pairs of a profile's Parameters value, in the order they are written.
using ProfileParams = std::vector<std::pair<std::string, std::string>>;

// "key%3dvalue%26key%3dvalue", keys and values percent-encoded so that a kept value with blanks,
// '%', '#' or '+' arrives as it was.
std::string ProfileParamText(const ProfileParams& pairs);
// The camera's current Parameters value with the desired values put in and missing keys added,
// as ProfileParamText; empty when the current value already holds every desired value.
std::string MergeProfileParams(std::string_view current, const ProfileParams& desired);
// The group ("StreamProfile.S3") of the profile named `name` (letter case ignored) in a
// param.cgi list answer; list lines may carry the "root." prefix.
std::optional<std::string> FindProfileGroup(std::string_view list, std::string_view name);
// Profiles in a list answer: lines "StreamProfile.S<digits>.Parameters=".
uint32_t CountProfiles(std::string_view list);
// The camera's answer to a profile add: "S5 OK" and nothing else.
bool ProfileAddAccepted(std::string_view answer);

class CAxisProfileManager : public CLoggerInstance {
  public:
    // deviceText names the device in the log lines.
    CAxisProfileManager(IDebugMessage* debug, std::string deviceText);
    ~CAxisProfileManager() override = default;

    // Finds `name`, else falls back to the default profile; false when neither exists.
    bool VerifyStreamProfile(const std::string& name, std::string_view paramList,
                             const char* streamText);
    // Makes sure the profile exists with the desired parameters, creating or updating it.
    bool UpdateStreamProfile(const std::string& name, std::string_view paramList);
    bool CreateStreamProfile(const std::string& name, const std::string& parameters);
    // Takes the RTSP port from the list and enables RTSP when it is off and mayEnable is set;
    // false when RTSP stays off. method names the caller in the log line; what is "" for video
    // or "audio ".
    bool ProcessRTSPConfiguration(std::string_view paramList, bool mayEnable, const char* method,
                                  const char* what);

    const std::string& ProfileName() const { return profileName_; }
    const std::string& ProfileGroup() const { return group_; }
    const std::string& ProfileParameters() const { return parameters_; }
    uint16_t RtspPort() const { return rtspPort_; }
    void RememberParameters(std::string parameters) { parameters_ = std::move(parameters); }

  protected:
    virtual bool RequestGet(const std::string& url, std::string& response) = 0;
    virtual void GetDesiredParameters(ProfileParams& params) = 0;
    virtual std::string GetDefaultProfileName() = 0;
    virtual std::string GetProfileDescription() = 0;

    std::string deviceText_;

  private:
    // Sets group_ and parameters_ for a profile found in the list.
    bool UseProfile(const std::string& name, std::string_view paramList);

    uint16_t rtspPort_ = 554;
    std::string profileName_;
    std::string group_;
    std::string parameters_;
};

}  // namespace vornak
