#include "audio/audio_requests.h"

#include "web/request_utils.h"

namespace vornak {

bool CAudioRequests::Get(const std::string& url, std::string& reply) {
    reply.clear();
    if (url.empty()) {
        return false;
    }
    HUtils::Reply answer = HUtils::Get(sender_, url);
    if (answer.status == 200 || answer.status == 204) {
        reply = std::move(answer.body);
        return true;
    }
    const DEVICE_INFO& device = *driver_.GetDeviceInfo();
    if (answer.status == 401) {
        log_.Log(kLogError,
                 "%s: %s (%s) is unable to process \"%s\" request: credentials are invalid",
                 getMethod_, device.model.c_str(), device.address.c_str(), url.c_str());
    } else if (answer.status == 404) {
        log_.Log(kLogError, "%s: The \"%s\" URL was not found on %s (%s)", getMethod_, url.c_str(),
                 device.model.c_str(), device.address.c_str());
    } else {
        log_.Log(
            kLogError, "%s: %s (%s) is unable to process \"%s\" request. HTTP status code is %u",
            getMethod_, device.model.c_str(), device.address.c_str(), url.c_str(), answer.status);
    }
    return false;
}

bool CAudioRequests::Update(const std::string& text, const char* method) {
    if (text.empty()) {
        return true;
    }
    // A device that refuses answers 200 with an error line.
    std::string reply;
    if (!Get("/axis-cgi/admin/param.cgi?action=update" + text, reply)) {
        return false;
    }
    if (reply.find("OK") != std::string::npos) {
        return true;
    }
    const DEVICE_INFO& device = *driver_.GetDeviceInfo();
    log_.Log(kLogError, "%s: Unable to apply audio parameters '%s' to %s (%s): %s", method,
             text.c_str(), device.model.c_str(), device.address.c_str(), reply.c_str());
    return false;
}

}  // namespace vornak
