#include "web/request_utils.h"

namespace HUtils {

using vornak::Format;

vornak::CResultDef RequestGetRD(Web::CBaseHttpSender& sender, const std::string& path,
                                std::string& body) {
    static constexpr const char* kMethod = "vornak::HUtils::RequestGetRD";
    vornak::CResultDef result;
    result.SetResult(vornak::kLogInfo, 0);
    const auto& device = sender.GetDevice();
    const std::string deviceText = Format("device %s:%u", device.address.c_str(), device.port);

    body.clear();
    (void)sender.SendRequest(Web::MakeGetRequest(path));
    const uint32_t status = sender.GetStatusCode();
    if (status >= 200 && status < 300) {
        result.SetResult(vornak::kLogInfo, 0);
    } else if (status == 401) {
        result.SetResultEx(vornak::kLogError, 10,
                           "%s: %s is unable to process \"%s\" request: credentials are invalid",
                           kMethod, deviceText.c_str(), path.c_str());
    } else if (status == 404) {
        result.SetResultEx(vornak::kLogError, 9, "%s: The \"%s\" URL was not found on %s", kMethod,
                           path.c_str(), deviceText.c_str());
    } else if (status != 0) {
        result.SetResultEx(vornak::kLogError, 8,
                           "%s: %s is unable to process \"%s\" request. HTTP status code is %u",
                           kMethod, deviceText.c_str(), path.c_str(), status);
    } else {
        result.SetResultEx(vornak::kLogDetail, 11, "%s: Cannot send request \"%s\" to %s", kMethod,
                           path.c_str(), deviceText.c_str());
    }
    if (result.GetCode() == 0) {
        std::vector<uint8_t> bytes;
        sender.ReadResponse(bytes);
        body.assign(bytes.begin(), bytes.end());
        if (body.empty()) {
            result.SetResultEx(vornak::kLogWarning, 12,
                               "%s: Incorrect response for request \"%s\" from %s", kMethod,
                               path.c_str(), deviceText.c_str());
        }
    }
    return result;
}

bool RequestGetMessage(Web::CBaseHttpSender& sender, const std::string& path, bool addContentType,
                       std::string& errorText) {
    errorText.clear();
    if (path.empty()) {
        errorText = "Url is empty";
        return false;
    }
    Web::HttpRequest request = Web::MakeGetRequest(path);
    if (addContentType) {
        request.headers.emplace_back("Content-Type: text/html; charset=utf-8");
    }
    (void)sender.SendRequest(request);
    const uint32_t status = sender.GetStatusCode();
    if (status >= 200 && status < 300) {
        return true;
    }
    if (status == 0) {
        errorText = "There is a network error or the device is offline.";
    } else if (status == 401) {
        errorText = "Invalid username/password.";
    } else {
        errorText = Format("The device returns %u status code.", status);
    }
    return false;
}

bool RequestGetMessage(Web::CBaseHttpSender& sender, const std::string& path,
                       std::string& errorText) {
    return RequestGetMessage(sender, path, false, errorText);
}

}  // namespace HUtils
