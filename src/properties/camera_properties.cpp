#include "properties/camera_properties.h"

#include <cstdarg>

#include "base/text.h"
#include "driver/settings_file.h"
#include "web/field_search.h"
#include "web/request_utils.h"
#include "xml/xml_parser.h"

namespace vornak {

namespace {
constexpr const char* kMethodLoad = "vornak::CAxisCameraProperties::LoadProperties";
constexpr const char* kGroups[] = {"Brand", "Properties", "Image", "ImageSource",
                                   "Input", "Output",     "Audio", "AudioSource"};
constexpr const char* kImageGroupError = "Error -1 getting param in group 'Image'";
constexpr const char* kDefinitionsNamespace =
    "xmlns:p='http://www.axis.com/ParameterDefinitionsSchema'";
constexpr const char* kSupportedAudioFormats[] = {"g711", "g726", "aac"};

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

uint32_t Number(const std::string& reply, const std::string& key) {
    return ParseDecimal(Trim(GetParameterValue(reply, key))).value_or(0);
}

bool IsYes(const std::string& reply, const std::string& key) {
    return ToLower(Trim(GetParameterValue(reply, key))) == "yes";
}

bool IsTrue(const std::string& reply, const std::string& key) {
    return ToLower(Trim(GetParameterValue(reply, key))) == "true";
}

bool Has(const std::string& reply, const std::string& key) {
    return !GetParameterValue(reply, key).empty();
}

std::string CaptureFrequency(const std::string& reply) {
    return std::string(Trim(GetParameterValue(reply, "ImageSource.I0.CaptureFrequency")));
}

// Mains frequency of the first source; the video standard decides when no frequency is given.
bool IsFiftyHertz(const std::string& reply) {
    const std::string frequency = CaptureFrequency(reply);
    return frequency == "50Hz" ||
           (frequency.empty() &&
            ToLower(Trim(GetParameterValue(reply, "ImageSource.I0.Video.DetectedType"))) == "pal");
}

// The number written just before "fps" in a capture mode's description ("3 MP 30 fps").
uint32_t FpsOfDescription(const std::string& text) {
    const size_t fps = ToLower(text).find("fps");
    if (fps == std::string::npos) {
        return 0;
    }
    size_t end = fps;
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t')) {
        --end;
    }
    size_t begin = end;
    while (begin > 0 && text[begin - 1] >= '0' && text[begin - 1] <= '9') {
        --begin;
    }
    return ParseDecimal(std::string_view(text).substr(begin, end - begin)).value_or(0);
}

// Definitions path below the document element: groups by name, then the parameter.
std::string DefinitionsPath(const std::string& group, const std::string& parameter,
                            const std::string& tail) {
    std::string path = "/p:parameterDefinitions//";
    bool first = true;
    for (const std::string& part : SplitList(group, '.')) {
        path += (first ? "" : "/") + Format("p:group[@name=\"%s\"]", part.c_str());
        first = false;
    }
    return path + Format("/p:parameter[@name=\"%s\"]", parameter.c_str()) + tail;
}
}  // namespace

CBaseCameraProperties::CBaseCameraProperties(const DEVICE_INFO& device) : device_(device) {
    (void)platform::FindHostCoreVersion(hostVersion_);
}

CBaseCameraProperties::~CBaseCameraProperties() = default;

bool CBaseCameraProperties::ReportResolutions(ipcapture::IIPCapabilityList* sink) {
    if (sink == nullptr) {
        return false;
    }
    for (const Size& size : resolutions_) {
        if (!sink->Add(Format("%ux%u", size.width, size.height).c_str())) {
            return false;
        }
    }
    if (!resolutions_.empty()) {
        const Size& first = resolutions_.front();
        return sink->SetDefault(Format("%ux%u", first.width, first.height).c_str());
    }
    return true;
}

CAxisCameraProperties::CAxisCameraProperties(const DEVICE_INFO& device, IDebugMessage* debug)
    : CBaseCameraProperties(device),
      debug_(debug),
      sender_(device, Web::CHttpSender::kDefaultUserAgent) {
    // A stop set just before a request starts must still cancel it.
    sender_.SetCancelEvent(&stop_);
}

CAxisCameraProperties::~CAxisCameraProperties() = default;

void CAxisCameraProperties::AbortRequests() {
    sender_.Abort();
}

std::string CAxisCameraProperties::GetErrorText() {
    CLockGuard guard(lock_);
    return errorText_;
}

void CAxisCameraProperties::Log(uint32_t level, const char* format, ...) {
    if (debug_ == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    const std::string text = FormatV(format, args);
    va_end(args);
    debug_->DebugMessage(level, "%s", text.c_str());
}

bool CAxisCameraProperties::Fail(const std::string& text) {
    CLockGuard guard(lock_);
    errorText_ = text;
    return false;
}

bool CAxisCameraProperties::ListParameterGroup(Web::CHttpSender& sender, const std::string& group,
                                               std::string& reply, uint32_t& status) {
    const size_t used = reply.size() + 2;
    const HUtils::Reply answer =
        HUtils::Get(sender, "/axis-cgi/admin/param.cgi?action=list&group=" + group,
                    used < kMaxReplyBytes ? kMaxReplyBytes - used : 0);
    if (answer.Ok()) {
        if (answer.bodyTooLong) {
            return false;
        }
        reply += answer.body + "\r\n";
        return true;
    }
    if (answer.status == 401 || sender.GetLastErrorCode() == Web::kErrorLoginFailure) {
        status = kQueryCredentialsRefused;
    } else if (answer.status == 0) {
        status = kQueryDeviceUnreachable;
    }
    return false;
}

bool CAxisCameraProperties::Interpret(const std::string& reply) {
    if (!InterpretDevice(reply)) {
        return false;
    }
    InterpretPtz(reply);
    InterpretStreaming(reply);
    return true;
}

bool CAxisCameraProperties::InterpretDevice(const std::string& reply) {
    brand_ = GetParameterValue(reply, "Brand.Brand");
    productName_ = GetParameterValue(reply, "Brand.ProdFullName");
    firmware_ = GetParameterValue(reply, "Properties.Firmware.Version");
    apiVersion_ = GetParameterValue(reply, "Properties.API.HTTP.Version");
    if (brand_.empty() && productName_.empty()) {
        return Fail("The 'Brand.Brand' and 'Brand.ProdFullName' options are not available");
    }
    inputs_ = Number(reply, "Input.NbrOfInputs");
    outputs_ = Number(reply, "Output.NbrOfOutputs");

    // Image.
    const std::string sources = GetParameterValue(reply, "ImageSource.NbrOfSources");
    const std::string formats = GetParameterValue(reply, "Properties.Image.Format");
    resolutions_.clear();
    resolutionsText_.clear();
    formats_.clear();
    noVideo_ = false;
    if (Contains(reply, kImageGroupError)) {
        Log(kLogError, "%s: %s", kMethodLoad, kImageGroupError);
    }
    if (sources.empty() && formats.empty()) {
        const bool knownAudioOnly =
            Contains(productName_, "P8221") || Contains(productName_, "A1001");
        const bool imageless =
            !Contains(reply, "Properties.Image") && Contains(reply, kImageGroupError) &&
            (IsYes(reply, "Properties.Audio.Audio") || inputs_ > 0 || outputs_ > 0);
        if (!knownAudioOnly && !imageless) {
            return Fail(
                "The 'ImageSource.NbrOfSources' and 'Properties.Image.Format' options are not "
                "available");
        }
        noVideo_ = true;
        imageSources_ = 1;
        resolutions_.push_back({176, 144});
        resolutionsText_ = "176x144";
    } else if (sources.empty() || formats.empty()) {
        return Fail(std::string("The '") +
                    (sources.empty() ? "ImageSource.NbrOfSources" : "Properties.Image.Format") +
                    "' option is not available");
    } else {
        imageSources_ = std::max<uint32_t>(1, Number(reply, "ImageSource.NbrOfSources"));
        formats_ = SplitList(ToLower(formats), ',');
        const std::string detected =
            ToLower(Trim(GetParameterValue(reply, "ImageSource.I0.Video.DetectedType")));
        ntsc_ = detected == "ntsc";
        for (const std::string& name :
             SplitList(GetParameterValue(reply, "Properties.Image.Resolution"), ',')) {
            if (const auto size = ParseResolution(name, ntsc_)) {
                resolutions_.push_back(*size);
                resolutionsText_ += (resolutionsText_.empty() ? "" : ";") + name;
            }
        }
        if (resolutions_.empty()) {
            return Fail("List of resolutions is empty ('Properties.Image.Resolution' capability)");
        }
    }
    const bool fiftyHertz = IsFiftyHertz(reply);
    const std::string frequency = CaptureFrequency(reply);
    sixtyHertz_ = frequency == "60Hz" || (frequency.empty() && ntsc_);
    maxFps_ = Number(reply, "Image.I0.RateControl.MaxFPS");
    if (maxFps_ == 0 && Contains(productName_, "233M")) {
        maxFps_ = 10;
    }
    if (maxFps_ == 0) {
        maxFps_ = Contains(productName_, "M3007") ? 12 : fiftyHertz ? 25 : 30;
    }

    // Further capabilities.
    motion_ = IsYes(reply, "Properties.Motion.Motion");
    localStorage_ = IsYes(reply, "Properties.LocalStorage.LocalStorage");
    sdCard_ = IsYes(reply, "Properties.LocalStorage.SDCard");
    privacyMaskType_ = GetParameterValue(reply, "Image.PrivacyMaskType");
    privacyMasks_ = Number(reply, "Properties.PrivacyMask.MaxNbrOfPrivacyMasks");

    // Audio.
    audioInput_ = {};
    audioFormats_.clear();
    const std::string audioFormats = ToLower(GetParameterValue(reply, "Properties.Audio.Format"));
    bool supported = false;
    for (const std::string& format : SplitList(audioFormats, ',')) {
        for (const char* known : kSupportedAudioFormats) {
            supported = supported || format == known;
        }
    }
    if (IsYes(reply, "Properties.Audio.Audio") && supported) {
        audioInput_.count = Number(reply, "AudioSource.NbrOfSources");
        audioFormats_ = audioFormats;
    }
    duplexMode_ = GetParameterValue(reply, "Audio.DuplexMode");
    if (!duplexMode_.empty() && Contains(productName_, "Q7401")) {
        duplexMode_ = "full";
    }

    views_ = std::max<uint32_t>(1, Number(reply, "Properties.Image.NbrOfViews"));
    return true;
}

// PTZ, from the "PTZ" group when the device has one.
void CAxisCameraProperties::InterpretPtz(const std::string& reply) {
    ptz_ = {};
    ptzPortMapping_.clear();
    if (IsYes(reply, "Properties.PTZ.PTZ")) {
        const std::string support = "PTZ.Support.S1";
        const std::string various = "PTZ.Various.V1";
        if (Contains(reply, (support + ".").c_str())) {
            ptz_.preset = IsTrue(reply, support + ".ServerPreset") ||
                          IsTrue(reply, support + ".DevicePreset");
            ptz_.pan = IsTrue(reply, support + ".ContinuousPan");
            ptz_.tilt = IsTrue(reply, support + ".ContinuousTilt");
            ptz_.zoom = IsTrue(reply, support + ".ContinuousZoom");
            ptz_.focus = IsTrue(reply, support + ".RelativeFocus");
            ptz_.iris = IsTrue(reply, support + ".RelativeIris");
            ptz_.areaZoom = Has(reply, support + ".AreaZoom")
                                ? IsTrue(reply, support + ".AreaZoom")
                                : ptz_.zoom && (ptz_.pan || ptz_.tilt);
            ptz_.unzoom = Has(reply, support + ".AbsoluteZoom")
                              ? IsTrue(reply, support + ".AbsoluteZoom")
                              : ptz_.zoom;
            ptz_.center = ptz_.pan || ptz_.tilt;
        } else if (IsYes(reply, "Properties.PTZ.DigitalPTZ")) {
            ptz_.pan = IsTrue(reply, various + ".PanEnabled");
            ptz_.tilt = IsTrue(reply, various + ".TiltEnabled");
            ptz_.zoom = IsTrue(reply, various + ".ZoomEnabled");
            ptz_.focus = IsTrue(reply, various + ".FocusEnabled");
            ptz_.iris = IsTrue(reply, various + ".IrisEnabled");
            ptz_.preset = ptz_.pan || ptz_.tilt || ptz_.zoom;
            ptz_.center = ptz_.pan || ptz_.tilt;
            ptz_.areaZoom = ptz_.zoom && ptz_.center;
            ptz_.unzoom = ptz_.zoom;
        }
        if (ptz_.AnyMovement() &&
            (Contains(productName_, " 213 PTZ") || Contains(productName_, "Q7401") ||
             Contains(productName_, "241S"))) {
            ptz_.areaZoom = false;  // these models zoom into an area badly
        }
        for (uint32_t camera = 1; camera <= 16; ++camera) {
            const std::string port =
                GetParameterValue(reply, Format("PTZ.CamPorts.Cam%uPort", camera));
            if (!port.empty()) {
                ptzPortMapping_ += Format("%sCam%uPort=%s", ptzPortMapping_.empty() ? "" : "; ",
                                          camera, port.c_str());
            }
        }
    }
}

void CAxisCameraProperties::InterpretStreaming(const std::string& reply) {
    streamProfiles_ = Number(reply, "StreamProfile.MaxGroups") > 0;
    multicast_ = Contains(reply, ".VideoAddress=");
}

bool CAxisCameraProperties::ReadParameterDefinitionsText(const std::string& group,
                                                         const std::string& path,
                                                         std::string& value) {
    if (stop_.IsSet()) {
        return false;
    }
    const HUtils::Reply answer = HUtils::Get(
        sender_,
        "/axis-cgi/admin/param.cgi?action=listdefinitions&listformat=xmlschema&group=" + group,
        kMaxReplyBytes);
    CXMLParser xml;
    if (answer.body.empty() || !xml.LoadXml(answer.body, kDefinitionsNamespace)) {
        return false;
    }
    value = xml.GetNodeText(path);
    if (value.empty()) {
        // A document without the default namespace: the same path without prefixes.
        std::string plain = path;
        for (size_t at = plain.find("p:"); at != std::string::npos; at = plain.find("p:", at)) {
            plain.erase(at, 2);
        }
        value = xml.GetNodeText(plain);
    }
    return !value.empty();
}

void CAxisCameraProperties::ReadFrameRateFromDefinitions(const std::string& reply) {
    if (noVideo_ || Number(reply, "Image.I0.RateControl.MaxFPS") != 0 ||
        Contains(productName_, "233M")) {
        return;
    }
    std::string text;
    const std::string mode = GetParameterValue(reply, "ImageSource.I0.Sensor.CaptureMode");
    if (!mode.empty() &&
        ReadParameterDefinitionsText(
            "ImageSource.I0.Sensor",
            DefinitionsPath(
                "ImageSource.I0.Sensor", "CaptureMode",
                Format("/p:type/p:enum/p:entry[@value=\"%s\"]/@niceValue", mode.c_str())),
            text)) {
        if (const uint32_t fps = FpsOfDescription(text); fps != 0) {
            maxFps_ = fps;
            return;
        }
    }
    if (ReadParameterDefinitionsText(
            "Image.I0.Stream", DefinitionsPath("Image.I0.Stream", "FPS", "/p:type/p:int/@max"),
            text)) {
        const uint32_t max = ParseDecimal(Trim(text)).value_or(0);
        if (max != 0) {
            const bool fifty = IsFiftyHertz(reply);
            maxFps_ = fifty ? std::max<uint32_t>(1, max * 5 / 6) : max;
        }
    }
}

bool CAxisCameraProperties::SendUpdate(const std::string& assignment) {
    return HUtils::Get(sender_, "/axis-cgi/admin/param.cgi?action=update&" + assignment)
               .body.find("OK") != std::string::npos;
}

void CAxisCameraProperties::ProbeAudioOutput(const std::string& reply, uint32_t& status) {
    audioOutput_ = {};
    if (duplexMode_.empty() || stop_.IsSet()) {
        return;
    }
    if (!IsYes(reply, "Audio.A0.Enabled")) {
        (void)SendUpdate("Audio.A0.Enabled=yes");
    }
    std::string inputSettings;
    (void)ListParameterGroup(sender_, "AudioSource.A0", inputSettings, status);
    const std::string modes = GetParameterValue(reply, "Properties.Audio.DuplexMode");
    if (!modes.empty()) {
        for (const std::string& mode : SplitList(modes, ',')) {
            if (mode == "full") {
                audioOutput_.count = 1;
            }
        }
        return;
    }
    if (stop_.IsSet() || !SendUpdate("Audio.DuplexMode=full")) {
        return;
    }
    std::string check;
    if (ListParameterGroup(sender_, "Audio.DuplexMode", check, status) &&
        ToLower(Trim(GetParameterValue(check, "Audio.DuplexMode"))) == "full") {
        audioOutput_.count = 1;
        return;
    }
    (void)SendUpdate("Audio.DuplexMode=" + duplexMode_);
}

void CAxisCameraProperties::ReadViewChannels(const std::string& reply) {
    viewChannels_.clear();
    const ViewAreaSettings areas = ReadViewAreaSettings(platform::GetModuleFolder(), device_);
    static constexpr const char* kKinds[] = {"Recording", "Live", "Remote"};
    for (uint32_t kind = 0; kind < 3; ++kind) {
        const auto area = areas.find(kind);
        if (area == areas.end()) {
            continue;
        }
        for (uint32_t view = 0; view < views_; ++view) {
            if (ToLower(GetParameterValue(reply, Format("Image.I%u.Name", view))) == area->second) {
                viewChannels_ += Format("%s:%u;", kKinds[kind], view + 1);
                break;
            }
        }
    }
}

bool CAxisCameraProperties::LoadProperties(uint32_t& status) {
    status = kQueryRunning;
    loaded_ = false;
    {
        CLockGuard guard(lock_);
        errorText_.clear();
    }
    std::string reply;
    auto list = [&](const char* group) {
        if (stop_.IsSet()) {
            return false;
        }
        if (ListParameterGroup(sender_, group, reply, status)) {
            return true;
        }
        if (status == kQueryRunning && !stop_.IsSet()) {
            const uint32_t code = sender_.GetStatusCode();
            Fail(code / 100 == 2
                     ? Format("The device's '%s' parameter list goes beyond the %zu MiB one query "
                              "may hold",
                              group, kMaxReplyBytes >> 20)
                     : Format("The device did not answer the '%s' parameter list (HTTP status %u)",
                              group, code));
        }
        return false;
    };
    for (const char* group : kGroups) {
        if (!list(group)) {
            return false;
        }
    }
    if (!InterpretDevice(reply)) {
        return false;
    }
    ReadFrameRateFromDefinitions(reply);
    if (IsYes(reply, "Properties.PTZ.PTZ") && !list("PTZ")) {
        return false;
    }
    InterpretPtz(reply);
    if (ptz_.AnyMovement() && !stop_.IsSet()) {
        const std::string path = std::string("/axis-cgi/com/ptz.cgi?camera=1&") +
                                 (apiVersion_ == "3" ? "whoami=1" : "whoami=what");
        const HUtils::Reply answer = HUtils::Get(sender_, path);
        if (answer.Ok()) {
            ptzDriverName_ = answer.body.substr(0, answer.body.find("\r\n"));
            if (Contains(answer.body, "Error:")) {
                ptzDriverName_.clear();
            }
        }
    }
    uint32_t probeStatus = status;  // the probe is best effort; its failures end nothing
    ProbeAudioOutput(reply, probeStatus);
    if (!list("StreamProfile") || !list("Network.RTP")) {
        return false;
    }
    InterpretStreaming(reply);
    ReadViewChannels(reply);
    if (stop_.IsSet()) {
        return false;
    }
    loaded_ = true;
    return true;
}

std::vector<StreamOffer> CAxisCameraProperties::GetStreamOffers() const {
    std::vector<StreamOffer> offers;
    if (noVideo_ || formats_.empty()) {
        return offers;
    }
    StreamOffer offer;
    auto has = [&](const char* format) {
        return std::find(formats_.begin(), formats_.end(), format) != formats_.end();
    };
    if (has("h264")) {
        offer.codecs.emplace_back("h264");
    }
    if (has("h265")) {
        offer.codecs.emplace_back("h265");
    }
    if (has("mpeg4")) {
        offer.codecs.emplace_back("mpeg");
    }
    if (has("jpeg") || has("mjpeg")) {
        offer.codecs.emplace_back("jpeg");
    }
    offer.resolutions = resolutions_;
    for (uint32_t rate = 1; rate <= maxFps_; ++rate) {
        offer.rates.push_back(rate);
    }
    offer.defaultRate = maxFps_;
    offers.push_back(offer);
    if (streamProfiles_) {
        offers.push_back(offer);
    }
    return offers;
}

bool CAxisCameraProperties::ReportCapabilities(ipcapture::IIPCapabilityResult* sink) {
    if (sink == nullptr) {
        return false;
    }
    ipcapture::IIPCapabilityList* timeouts = sink->GetList(ipcapture::kListNetworkTimeouts);
    if (timeouts == nullptr || !timeouts->SetDefault("60")) {
        return false;
    }
    for (uint32_t value = 10; value <= 100; value += 10) {
        if (!timeouts->Add(Format("%u", value).c_str())) {
            return false;
        }
    }
    if (!sink->SetFeature(26, 1) || (HasEdgeStorage() && !sink->SetFeature(28, 1))) {
        return false;
    }
    struct Item {
        uint32_t id;
        const char* name;
        uint32_t kind;
        std::string value;
    };
    const Item items[] = {
        {1, "Network Timeout", ipcapture::kItemValue, Format("%u", device_.networkTimeout)},
        {2, "Firmware Version", ipcapture::kItemText, firmware_},
        {3, "HTTP API Version (VAPIX)", ipcapture::kItemText, apiVersion_},
        {4, "PTZ Capabilities", ipcapture::kItemText, ptz_.ToText()},
        {5, "AXIS PTZ Port Mapping", ipcapture::kItemText, ptzPortMapping_},
        {6, "Supported Audio Formats", ipcapture::kItemText, audioFormats_},
        {7, "Supported Resolutions", ipcapture::kItemText, resolutionsText_},
        {8, "Privacy Zones Count", ipcapture::kItemValue, Format("%u", privacyMasks_)},
        {9, "View Channels Info", ipcapture::kItemText, viewChannels_},
        {10, "Multicast Supported", ipcapture::kItemValue, multicast_ ? "1" : "0"},
        {11, "Is No-Video Device", ipcapture::kItemValue, noVideo_ ? "1" : "0"},
    };
    for (const Item& item : items) {
        const char* value = item.value.empty() ? "(none)" : item.value.c_str();
        if (!sink->AddNamedItem(item.id, item.name, item.kind, value)) {
            return false;
        }
    }
    return true;
}

}  // namespace vornak
