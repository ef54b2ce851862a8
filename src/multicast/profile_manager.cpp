#include "multicast/profile_manager.h"

#include "base/text.h"
#include "ptz/ptz_comm.h"
#include "web/field_search.h"

namespace vornak {

namespace {

// Lines of a list answer without the "root." prefix and the line ends.
template <typename Fn>
void ForEachParamLine(std::string_view list, Fn fn) {
    while (!list.empty()) {
        const size_t end = list.find('\n');
        std::string_view line = list.substr(0, end);
        list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
        line = Trim(line, "\r");
        if (StartsWithNoCase(line, "root.")) {
            line.remove_prefix(5);
        }
        fn(line);
    }
}

std::optional<uint32_t> MaxGroups(std::string_view list) {
    return ParseDecimal(GetParameterValue(list, "StreamProfile.MaxGroups"));
}

}  // namespace

std::string ProfileParamText(const ProfileParams& pairs) {
    std::string text;
    for (const auto& [key, value] : pairs) {
        if (!text.empty()) {
            text += "%26";
        }
        text += FormEncode(key) + "%3d" + FormEncode(value);
    }
    return text;
}

std::string MergeProfileParams(std::string_view current, const ProfileParams& desired) {
    ProfileParams merged;
    std::vector<bool> used(desired.size(), false);
    bool differs = false;
    while (!current.empty()) {
        const size_t amp = current.find('&');
        const std::string_view pair = current.substr(0, amp);
        current = amp == std::string_view::npos ? std::string_view() : current.substr(amp + 1);
        if (pair.empty()) {
            continue;
        }
        const size_t eq = pair.find('=');
        std::string key(pair.substr(0, eq));
        std::string value(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
        for (size_t i = 0; i < desired.size(); ++i) {
            if (!used[i] && EqualsNoCase(desired[i].first, key)) {
                used[i] = true;
                differs = differs || desired[i].second != value;
                value = desired[i].second;
                break;
            }
        }
        merged.emplace_back(std::move(key), std::move(value));
    }
    for (size_t i = 0; i < desired.size(); ++i) {
        if (!used[i]) {
            differs = true;
            merged.push_back(desired[i]);
        }
    }
    return differs ? ProfileParamText(merged) : std::string();
}

std::optional<std::string> FindProfileGroup(std::string_view list, std::string_view name) {
    const std::optional<uint32_t> maxGroups = MaxGroups(list);
    if (!maxGroups) {
        return std::nullopt;
    }
    for (uint32_t i = 0; i < *maxGroups && i < 1000; ++i) {
        const std::string group = Format("StreamProfile.S%u", i);
        const std::string found = GetParameterValue(list, group + ".Name");
        if (!found.empty() && EqualsNoCase(found, name)) {
            return group;
        }
    }
    return std::nullopt;
}

uint32_t CountProfiles(std::string_view list) {
    uint32_t count = 0;
    ForEachParamLine(list, [&](std::string_view line) {
        if (!StartsWithNoCase(line, "StreamProfile.S")) {
            return;
        }
        line.remove_prefix(15);
        size_t digits = 0;
        while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') {
            ++digits;
        }
        if (digits > 0 && StartsWithNoCase(line.substr(digits), ".Parameters=")) {
            ++count;
        }
    });
    return count;
}

bool ProfileAddAccepted(std::string_view answer) {
    return answer.find("OK") != std::string_view::npos &&
           answer.find_first_not_of("S01234567890 OK\t\r\n") == std::string_view::npos;
}

CAxisProfileManager::CAxisProfileManager(IDebugMessage* debug, std::string deviceText)
    : CLoggerInstance(debug), deviceText_(std::move(deviceText)) {}

bool CAxisProfileManager::UseProfile(const std::string& name, std::string_view paramList) {
    const std::optional<std::string> group = FindProfileGroup(paramList, name);
    if (!group) {
        return false;
    }
    profileName_ = name;
    group_ = *group;
    parameters_ = GetParameterValue(paramList, group_ + ".Parameters");
    return true;
}

bool CAxisProfileManager::VerifyStreamProfile(const std::string& name, std::string_view paramList,
                                              const char* streamText) {
    group_.clear();
    parameters_.clear();
    const std::string defaultName = GetDefaultProfileName();
    if (!name.empty() && UseProfile(name, paramList)) {
        return true;
    }
    if (EqualsNoCase(name, defaultName) || !UseProfile(defaultName, paramList)) {
        Log(kLogError,
            "vornak::CAxisProfileManager::VerifyStreamProfile: Unable to start %s stream for %s "
            "using '%s' profile -- profile doesn't exist",
            streamText, deviceText_.c_str(), name.empty() ? defaultName.c_str() : name.c_str());
        return false;
    }
    if (!name.empty()) {
        Log(kLogInfo,
            "vornak::CAxisProfileManager::VerifyStreamProfile: The driver will use default '%s' "
            "profile for %s streaming from %s -- profile '%s' doesn't exist",
            defaultName.c_str(), streamText, deviceText_.c_str(), name.c_str());
    }
    return true;
}

bool CAxisProfileManager::UpdateStreamProfile(const std::string& wanted,
                                              std::string_view paramList) {
    group_.clear();
    parameters_.clear();
    const std::string name = wanted.empty() ? GetDefaultProfileName() : wanted;
    profileName_ = name;
    ProfileParams desired;
    GetDesiredParameters(desired);
    if (!UseProfile(name, paramList)) {
        const std::optional<uint32_t> maxGroups = MaxGroups(paramList);
        if (!maxGroups) {
            Log(kLogError,
                "vornak::CAxisProfileManager::UpdateStreamProfile: Unable to read "
                "'StreamProfile.MaxGroups' parameter for %s",
                deviceText_.c_str());
            return false;
        }
        const uint32_t count = CountProfiles(paramList);
        if (count < *maxGroups) {
            return CreateStreamProfile(name, ProfileParamText(desired));
        }
        Log(kLogError,
            "vornak::CAxisProfileManager::UpdateStreamProfile: The %s already has %u profiles "
            "created. New '%s' profile cannot be created because of this limit. Please specify "
            "name of existing profile or remove unused profiles",
            deviceText_.c_str(), count, name.c_str());
        return false;
    }
    const std::string update = MergeProfileParams(parameters_, desired);
    if (update.empty()) {
        return true;
    }
    std::string answer;
    if (!RequestGet("/axis-cgi/param.cgi?action=update&" + group_ + ".Parameters=" + update,
                    answer)) {
        return false;
    }
    // The camera now holds another value; the next profile check reads it.
    parameters_.clear();
    return true;
}

bool CAxisProfileManager::CreateStreamProfile(const std::string& name,
                                              const std::string& parameters) {
    std::string url =
        "/axis-cgi/param.cgi?action=add&template=streamprofile&group=StreamProfile"
        "&StreamProfile.S.Name=" +
        FormEncode(name);
    const std::string description = GetProfileDescription();
    if (!description.empty()) {
        url += "&StreamProfile.S.Description=" + description;
    }
    if (!parameters.empty()) {
        url += "&StreamProfile.S.Parameters=" + parameters;
    }
    std::string answer;
    if (!RequestGet(url, answer)) {
        return false;
    }
    if (ProfileAddAccepted(answer)) {
        return true;
    }
    Log(kLogError,
        "vornak::CAxisProfileManager::CreateStreamProfile: The %s is unable to create new stream "
        "profile with name '%s'. Error message: %s",
        deviceText_.c_str(), name.c_str(), std::string(Trim(answer)).c_str());
    return false;
}

bool CAxisProfileManager::ProcessRTSPConfiguration(std::string_view paramList, bool mayEnable,
                                                   const char* method, const char* what) {
    const std::optional<uint32_t> port =
        ParseDecimal(GetParameterValue(paramList, "Network.RTSP.Port"));
    if (port && *port != 0 && *port <= 0xFFFF) {
        rtspPort_ = static_cast<uint16_t>(*port);
    }
    if (!EqualsNoCase(GetParameterValue(paramList, "Network.RTSP.Enabled"), "no")) {
        return true;
    }
    if (mayEnable) {
        std::string answer;
        return RequestGet("/axis-cgi/admin/param.cgi?action=update&Network.RTSP.Enabled=yes",
                          answer);
    }
    Log(kLogError,
        "%s: RTSP support is disabled on %s. The RTSP multicast %sstreaming cannot be started",
        method, deviceText_.c_str(), what);
    return false;
}

}  // namespace vornak
