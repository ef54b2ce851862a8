#include "web/request_utils.h"

namespace HUtils {

using vornak::Format;

Reply Exchange(Web::CBaseHttpSender& sender, const Web::HttpRequest& request,
               std::optional<size_t> bodyLimit) {
    Reply reply;
    reply.answered = sender.SendRequest(request);
    reply.status = sender.GetStatusCode();
    if (reply.Ok()) {
        std::vector<uint8_t> bytes;
        if (!bodyLimit) {
            sender.ReadResponse(bytes);
        } else {
            // To the end of the answer, which a device may leave unnamed.
            while (sender.ReadData(bytes, Web::CHttpSender::kReadChunk, false) != 0) {
                if (bytes.size() > *bodyLimit) {
                    bytes.clear();
                    reply.bodyTooLong = true;
                    break;
                }
            }
        }
        reply.body.assign(bytes.begin(), bytes.end());
    }
    sender.Close();
    return reply;
}

Reply Get(Web::CBaseHttpSender& sender, const std::string& path, std::optional<size_t> bodyLimit) {
    return Exchange(sender, Web::MakeGetRequest(path), bodyLimit);
}

vornak::CResultDef RequestGetRD(Web::CBaseHttpSender& sender, const std::string& path,
                                std::string& body) {
    static constexpr const char* kMethod = "vornak::HUtils::RequestGetRD";
    vornak::CResultDef result;
    result.SetResult(vornak::kLogInfo, 0);
    const auto& device = sender.GetDevice();
    const std::string deviceText = Format("device %s:%u", device.address.c_str(), device.port);

    Reply reply = Get(sender, path);
    body = std::move(reply.body);
    const uint32_t status = reply.status;
    if (reply.Ok()) {
        if (body.empty()) {
            result.SetResultEx(vornak::kLogWarning, 12,
                               "%s: Incorrect response for request \"%s\" from %s", kMethod,
                               path.c_str(), deviceText.c_str());
        }
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
    const uint32_t status = Exchange(sender, request).status;
    if (status >= 200 && status < 300) {
        return true;
    }
    errorText = FailureText(status);
    return false;
}

std::string FailureText(uint32_t status) {
    if (status == 0) {
        return "There is a network error or the device is offline.";
    }
    if (status == 401) {
        return "Invalid username/password.";
    }
    return Format("The device returns %u status code.", status);
}

bool RequestGetMessage(Web::CBaseHttpSender& sender, const std::string& path,
                       std::string& errorText) {
    return RequestGetMessage(sender, path, false, errorText);
}

}  // namespace HUtils
