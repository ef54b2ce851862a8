#include "unit/properties/fake_camera.h"

#include "web/codec.h"
#include "web/field_search.h"

namespace testing_support {

namespace {
std::string QueryValue(const std::string& path, const std::string& name) {
    const size_t query = path.find('?');
    if (query == std::string::npos) {
        return {};
    }
    return vornak::GetFieldValue(std::string_view(path).substr(query + 1), name, "=", "&");
}
}  // namespace

FakeCamera::FakeCamera(std::map<std::string, std::string> parameters, std::string password)
    : parameters_(std::move(parameters)), password_(std::move(password)) {
    server_ = std::make_unique<LoopbackHttpServer>(
        [this](const HttpRequestSeen& request, LoopbackConnection& connection) {
            Handle(request, connection);
        });
}

std::string FakeCamera::Get(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return parameters_[name];
}

std::string FakeCamera::List(const std::string& group) {
    std::string body;
    for (const auto& [name, value] : parameters_) {
        if (name == group || name.rfind(group + ".", 0) == 0) {
            body += "root." + name + "=" + value + "\n";
        }
    }
    return body.empty() ? "# Error: Error -1 getting param in group '" + group + "'\n" : body;
}

void FakeCamera::Handle(const HttpRequestSeen& request, LoopbackConnection& connection) {
    if (request.Header("Authorization") != "Basic " + Web::EncodeCredentials("root", password_)) {
        connection.Send(LoopbackHttpServer::Response(
            401, "<html>401</html>", "WWW-Authenticate: Basic realm=\"AXIS_ACCC8E000001\"\r\n"));
        return;
    }
    const std::string& path = request.path;
    std::string body;
    if (path.rfind("/axis-cgi/admin/param.cgi", 0) == 0) {
        const std::string action = QueryValue(path, "action");
        std::lock_guard<std::mutex> lock(mutex_);
        if (action == "list") {
            body = List(QueryValue(path, "group"));
        } else if (action == "update") {
            // One parameter an update: the one after the action.
            const std::string item = path.substr(path.find('&') + 1);
            parameters_[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
            body = "OK\n";
        } else {
            body = "# Error: no definitions\n";
        }
    } else if (path.rfind("/axis-cgi/com/ptz.cgi", 0) == 0) {
        body = "Digital PTZ\r\n";
    } else {
        connection.Send(LoopbackHttpServer::Response(404, "not found"));
        return;
    }
    connection.Send(LoopbackHttpServer::Response(200, body, "Content-Type: text/plain\r\n"));
}

std::map<std::string, std::string> TypicalCamera() {
    return {
        {"Brand.Brand", "AXIS"},
        {"Brand.ProdFullName", "AXIS M1054 Network Camera"},
        {"Properties.API.HTTP.Version", "3"},
        {"Properties.Audio.Audio", "yes"},
        {"Properties.Audio.Format", "g711,g726,aac"},
        {"Properties.Audio.DuplexMode", "full,half"},
        {"Properties.Firmware.Version", "5.40.9.2"},
        {"Properties.Image.Format", "jpeg,mjpeg,h264"},
        {"Properties.Image.NbrOfViews", "1"},
        {"Properties.Image.Resolution", "1280x800,640x480,320x240"},
        {"Properties.LocalStorage.LocalStorage", "yes"},
        {"Properties.LocalStorage.SDCard", "yes"},
        {"Properties.Motion.Motion", "yes"},
        {"Properties.PTZ.PTZ", "yes"},
        {"Properties.PTZ.DigitalPTZ", "yes"},
        {"Properties.PrivacyMask.MaxNbrOfPrivacyMasks", "3"},
        {"ImageSource.NbrOfSources", "1"},
        {"ImageSource.I0.CaptureFrequency", "50Hz"},
        {"Image.PrivacyMaskType", "mask_windows"},
        {"Image.I0.Name", "View Area 1"},
        {"Input.NbrOfInputs", "1"},
        {"Output.NbrOfOutputs", "2"},
        {"Audio.DuplexMode", "half"},
        {"Audio.A0.Enabled", "no"},
        {"AudioSource.NbrOfSources", "1"},
        {"AudioSource.A0.AudioEncoding", "g711"},
        {"PTZ.Various.V1.PanEnabled", "true"},
        {"PTZ.Various.V1.TiltEnabled", "true"},
        {"PTZ.Various.V1.ZoomEnabled", "true"},
        {"PTZ.CamPorts.Cam1Port", "1"},
        {"StreamProfile.MaxGroups", "20"},
        {"Network.RTP.R0.VideoAddress", "239.216.220.8"},
    };
}

}  // namespace testing_support
