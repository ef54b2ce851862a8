#include "edge/axis_edge_storage.h"

#include <algorithm>

#include "base/text.h"
#include "channels/rtsp_channel.h"
#include "parsers/codec_table.h"
#include "platform/host_info.h"
#include "rtsp/rtsp_http_tunnel.h"
#include "rtsp/rtsp_transports.h"
#include "web/http_sender.h"
#include "web/request_utils.h"
#include "xml/xml_parser.h"

namespace vornak {

namespace {

constexpr char kEdgePrefix[] = "vornak::CAxisEdgeStorageHandler: ";
constexpr TimeValue kListLeadTicks = 600000000;  // the list starts 60 s before the gap
constexpr TimeValue kListTailTicks = 10000000;   // and ends 1 s after it
constexpr uint32_t kMaxExpectedMs = 300000;

uint32_t LeadingDecimal(std::string_view text) {
    const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
    return ParseDecimal(text.substr(0, digits)).value_or(0);
}

bool IsKeyFrameCode(uint32_t fourcc) {
    for (const uint32_t format : {kCodecJpeg, kCodecMpeg4, kCodecH264}) {
        if (FindCodec(format)->keyFourCC == fourcc) {
            return true;
        }
    }
    return false;
}

// The depacketizer for a recording's MIME type, or null.
std::unique_ptr<CRTPMediaParser> ParserForMimeType(const std::string& mime, IDriver* driver) {
    const std::string lower = ToLower(mime);
    if (lower.find("video") == std::string::npos && lower.find("image") == std::string::npos) {
        return nullptr;
    }
    uint32_t format = 0;
    if (lower.find("jpeg") != std::string::npos) {
        format = kCodecJpeg;
    } else if (lower.find("h264") != std::string::npos) {
        format = kCodecH264;
    } else if (lower.find("mpeg") != std::string::npos) {
        format = kCodecMpeg4;
    }
    const CodecInfo* codec = FindCodec(format);
    return codec != nullptr ? codec->makeParser(driver) : nullptr;
}

}  // namespace

bool IsEdgeCandidate(const EdgeRecording& r, TimeValue position, TimeValue end,
                     const std::set<std::string>& processed) {
    const TimeValue stop = r.inProgress ? end : r.stop;
    return !r.id.empty() && !r.mimeType.empty() && r.width != 0 && r.height != 0 &&
           r.frameRate > 0 && r.start != 0 && r.start < stop && stop > position && r.start < end &&
           processed.count(r.id) == 0;
}

std::string RecordingPath(uint32_t channel, uint32_t videoInputs) {
    std::string path = "root/recordings/recording[@diskid=\"SD_DISK\"]";
    if (videoInputs >= 2) {
        path += Format("[@source=\"%u\"]", channel + 1);
    }
    return path;
}

std::string RecordingListPath(const CAxisTimeHelper& clock, TimeValue begin, TimeValue end) {
    std::string path = "/axis-cgi/record/list.cgi?recordingid=all";
    if (begin != 0 && begin < end) {
        const std::string from =
            clock.DeviceText(begin > kListLeadTicks ? begin - kListLeadTicks : begin, 0);
        const std::string to = clock.DeviceText(end + kListTailTicks, 0);
        if (!from.empty()) {
            path += "&starttime=" + from;
        }
        if (!to.empty()) {
            path += "&stoptime=" + to;
        }
    }
    return path;
}

bool ReadRecording(CXMLParser& xml, const std::string& recordingPath, const std::string& id,
                   const CAxisTimeHelper& clock, EdgeRecording& r) {
    const std::string base = recordingPath + "[@recordingid=\"" + id + "\"]";
    const std::string video = base + "/video";
    r = EdgeRecording{};
    r.id = xml.GetAttribute(base, "recordingid");
    if (r.id.empty()) {
        return false;
    }
    r.source = LeadingDecimal(xml.GetAttribute(base, "source"));
    r.mimeType = xml.GetAttribute(video, "mimetype");
    r.width = static_cast<uint16_t>(
        std::min<uint32_t>(LeadingDecimal(xml.GetAttribute(video, "width")), 0xFFFF));
    r.height = static_cast<uint16_t>(
        std::min<uint32_t>(LeadingDecimal(xml.GetAttribute(video, "height")), 0xFFFF));
    r.frameRate = LeadingDecimal(xml.GetAttribute(video, "framerate"));
    const std::string status = xml.GetAttribute(base, "recordingstatus");
    r.start = clock.DeviceToLocal(ParseTime(xml.GetAttribute(base, "starttime")));
    if (status == "completed") {
        r.stop = clock.DeviceToLocal(ParseTime(xml.GetAttribute(base, "stoptime")));
    } else if (status == "recording") {
        r.inProgress = true;
    } else {
        r.start = 0;  // a state this driver does not know is no candidate
    }
    return true;
}

TimeValue ParseDateTimeInfo(std::string_view json) {
    const size_t key = json.find("\"dateTime\"");
    if (key == std::string_view::npos) {
        return 0;
    }
    const size_t open = json.find('"', json.find(':', key));
    const size_t close = open == std::string_view::npos ? open : json.find('"', open + 1);
    if (close == std::string_view::npos) {
        return 0;
    }
    const std::string_view value = json.substr(open + 1, close - open - 1);
    return !value.empty() && value.back() == 'Z' ? ParseTime(value) : 0;
}

CAxisEdgeStorageHandler::CAxisEdgeStorageHandler(IDriver* driver, uint32_t queueLimit)
    : CBaseEdgeStorageHandler(driver, queueLimit),
      CLoggerInstance(driver),
      sender_(std::make_unique<Web::CHttpSender>(*driver->GetDeviceInfo(),
                                                 Web::CHttpSender::kDefaultUserAgent)) {
    sender_->SetCancelEvent(&QueueStopEvent());
}

CAxisEdgeStorageHandler::~CAxisEdgeStorageHandler() {
    StopEdgeStorageThreads();
    CloseSession();
}

void CAxisEdgeStorageHandler::AbortRetrieval() {
    sender_->Abort();
    sessionEnded_.Set();
}

std::string CAxisEdgeStorageHandler::RequestGet(const std::string& path, CXMLParser* xml) {
    const HUtils::Reply reply = HUtils::Get(*sender_, path);
    if (Stopping()) {
        return {};
    }
    if (reply.body.empty()) {
        Log(kLogError, "%s: Device %s returns empty response for \"%s\" request",
            "vornak::CAxisEdgeStorageHandler::RequestGet", DeviceText().c_str(), path.c_str());
        return {};
    }
    if (xml != nullptr && !xml->LoadXml(reply.body)) {
        Log(kLogError,
            "vornak::CAxisEdgeStorageHandler::RequestGet: Unable to parse XML data received from "
            "device %s. Request: %s; Response: \"%s\"",
            DeviceText().c_str(), path.c_str(), reply.body.c_str());
        return {};
    }
    return reply.body;
}

bool CAxisEdgeStorageHandler::SynchronizeTime() {
    // The UTC reading of the device clock; date.cgi gives the device's local time, whose zone
    // would otherwise count as clock difference.
    Web::HttpRequest request;
    request.verb = "POST";
    request.path = "/axis-cgi/time.cgi";
    static constexpr std::string_view kAsk = R"({"apiVersion":"1.0","method":"getDateTimeInfo"})";
    request.body.assign(kAsk.begin(), kAsk.end());
    request.headers.emplace_back("Content-Type: application/json");
    const HUtils::Reply info = HUtils::Exchange(*sender_, request);
    TimeValue device = info.Ok() ? ParseDateTimeInfo(info.body) : 0;
    if (device != 0) {
        clock_.SetReadings(GetCurrentTime(), device);
        return true;
    }
    if (Stopping()) {
        return false;
    }
    const std::string reply = std::string(Trim(RequestGet("/axis-cgi/date.cgi?action=get")));
    device = ParseTime(reply);
    if (device == 0) {
        clock_.Clear();
        Log(kLogError,
            "vornak::CAxisEdgeStorageHandler::SynchronizeTime: Device %s returns time value in "
            "incorrect format: %s",
            DeviceText().c_str(), reply.c_str());
        return false;
    }
    if (reply.back() == 'Z') {
        clock_.SetReadings(GetCurrentTime(), device);
    } else {
        clock_.Clear();
        Log(kLogWarning,
            "vornak::CAxisEdgeStorageHandler::SynchronizeTime: Device %s tells only its local "
            "time; recordings are looked for by this computer's clock",
            DeviceText().c_str());
    }
    return true;
}

bool CAxisEdgeStorageHandler::CardUsable() {
    CXMLParser xml;
    if (RequestGet("/axis-cgi/disks/list.cgi?diskid=all", &xml).empty()) {
        return false;
    }
    if (!xml.GetAttribute("root/disks/disk[@diskid=\"SD_DISK\"][@status=\"OK\"]"
                          "[@readonly=\"no\"][@locked=\"no\"]",
                          "name")
             .empty()) {
        return true;
    }
    Log(kLogWarning, "%s: Device %s has no storage card that can be read (%s)",
        "vornak::CAxisEdgeStorageHandler::CheckDisk", DeviceText().c_str(),
        xml.NodeExists("root/disks/disk[@diskid=\"SD_DISK\"]") ? "locked, read-only or failed"
                                                               : "no card");
    return false;
}

bool CAxisEdgeStorageHandler::ReadRecordingDetails(const std::string& id, EdgeRecording& r) {
    CXMLParser xml;
    return !RequestGet("/axis-cgi/record/list.cgi?recordingid=" + id, &xml).empty() &&
           ReadRecording(xml, RecordingPath(channel_, driver_->GetVideoChannelCount()), id, clock_,
                         r);
}

bool CAxisEdgeStorageHandler::FindNextRecording(EdgeRecording& found) {
    TimeValue position = 0;
    TimeValue end = 0;
    {
        CLockGuard guard(itemLock_);
        position = position_;
        end = end_;
    }
    CXMLParser xml;
    if (RequestGet(RecordingListPath(clock_, position, end), &xml).empty()) {
        return false;
    }
    bool any = false;
    for (const std::string& id : xml.GetAttributes(
             RecordingPath(channel_, driver_->GetVideoChannelCount()), "recordingid")) {
        EdgeRecording r;
        if (Stopping() || processed_.count(id) != 0 || !ReadRecordingDetails(id, r) ||
            !IsEdgeCandidate(r, position, end, processed_)) {
            continue;
        }
        // The earliest first, so the host gets the gap in order.
        if (!any || r.start < found.start) {
            found = r;
            any = true;
        }
    }
    return any;
}

void CAxisEdgeStorageHandler::OnItemStarted(const CEdgeStorageTaskItem& item) {
    CLockGuard guard(itemLock_);
    channel_ = item.channel;
    end_ = item.end;
    position_ = item.begin;
    processed_.clear();
}

CBaseEdgeStorageHandler::PassResult CAxisEdgeStorageHandler::RunRetrievalPass(
    const CEdgeStorageTaskItem& /*item*/) {
    ResetLogFilter();
    if (!SynchronizeTime() || !CardUsable()) {
        return PassResult::kNotDone;
    }
    bool failed = false;
    EdgeRecording recording;
    while (!Stopping() && FindNextRecording(recording)) {
        processed_.insert(recording.id);
        if (!PlayRecording(recording)) {
            failed = true;
            break;
        }
        CLockGuard guard(itemLock_);
        if (position_ >= end_) {
            break;
        }
    }
    return !processed_.empty() && !failed ? PassResult::kDone : PassResult::kNotDone;
}

uint16_t CAxisEdgeStorageHandler::ReadRtspPort() {
    const uint16_t port =
        RtspPortOf(RequestGet("/axis-cgi/admin/param.cgi?action=list&group=Network.RTSP.Port"));
    return port != 0 ? port : 554;
}

bool CAxisEdgeStorageHandler::OpenSession(const EdgeRecording& recording, uint16_t port) {
    CloseSession();
    const DEVICE_INFO& device = *driver_->GetDeviceInfo();
    RTSPClientSettings settings = ClientSettingsFor(device);
    settings.port = device.proxy.empty() ? port : static_cast<uint16_t>(device.port);
    settings.path = "/axis-media/media.amp?recordingid=" + recording.id;
    {
        CLockGuard guard(itemLock_);
        settings.range = "clock=" + clock_.DeviceText(position_, 1) + "-";
        waitForKeyFrame_ = true;
        framesSinceOpen_ = 0;
    }
    std::unique_ptr<CBaseRTSPClient> client;
    // The recording comes inside the RTSP connection: no ports to open, and it passes the
    // firewalls the live stream's RTSP connection passes.
    const std::string owner = DeviceText();
    if (device.proxy.empty()) {
        client = std::make_unique<CRTSPClientInterleaved>(driver_, owner);
    } else {
        client = std::make_unique<CRTSPClientHTTP>(driver_, owner);
    }
    sessionEnded_.Reset();
    {
        CLockGuard guard(sessionLock_);
        converter_.Reset();
        anchored_ = false;
        if (parser_) {
            parser_->Reset();
        }
    }
    // Stored first: the first packets may come before Start returns.
    CBaseRTSPClient* started = client.get();
    {
        CLockGuard guard(sessionLock_);
        client_ = std::move(client);
    }
    return !Stopping() && started->Start(settings, this);
}

void CAxisEdgeStorageHandler::CloseSession() {
    std::unique_ptr<CBaseRTSPClient> client;
    {
        CLockGuard guard(sessionLock_);
        client = std::move(client_);
    }
    if (client) {
        client->Stop();
    }
}

bool CAxisEdgeStorageHandler::PlayRecording(const EdgeRecording& recording) {
    const std::string device = DeviceText();
    const bool severalInputs = driver_->GetVideoChannelCount() >= 2;
    {
        CLockGuard guard(itemLock_);
        recording_ = recording;
        frames_ = 0;
        const std::string channelText = severalInputs ? Format("channel %u of ", channel_) : "";
        driver_->DebugMessage(kLogInfo,
                              "%sStart receiving of recorded video since %s to %s (filename %s) "
                              "for %sdevice %s",
                              kEdgePrefix, FormatLocalTime(position_).c_str(),
                              FormatLocalTime(end_).c_str(), recording.id.c_str(),
                              channelText.c_str(), device.c_str());
    }
    std::unique_ptr<CRTPMediaParser> parser = ParserForMimeType(recording.mimeType, driver_);
    if (!parser) {
        Log(kLogError,
            "vornak::CAxisEdgeStorageHandler::CreateMediaParser: Device %s returns unknown MIME "
            "type \"%s\", RTP video parser cannot be created",
            device.c_str(), recording.mimeType.c_str());
        return true;
    }
    parser->SetClient(this);
    {
        CLockGuard guard(sessionLock_);
        parser_ = std::move(parser);
    }
    const uint16_t port = ReadRtspPort();
    packetsSeen_ = false;
    const uint32_t lowerMs = driver_->GetDeviceInfo()->connectionTimeout;
    bool opened = OpenSession(recording, port);
    uint64_t openedAt = platform::TickMs();
    while (opened && !Stopping() && !sessionEnded_.IsSet()) {
        TimeValue position = 0;
        TimeValue end = 0;
        uint32_t sinceOpen = 0;
        {
            CLockGuard guard(itemLock_);
            position = position_;
            end = end_;
            sinceOpen = framesSinceOpen_;
        }
        if (position >= end) {
            break;
        }
        // A session that stalls is reopened where it stopped once, as long as the last one
        // brought frames; the limit grows with what is left to fetch.
        const uint64_t expected =
            std::clamp<uint64_t>(position == 0 ? 0 : (end - position) / kTicksPerMs, lowerMs,
                                 std::max<uint64_t>(lowerMs, kMaxExpectedMs));
        const uint64_t elapsed = platform::TickMs() - openedAt;
        if (elapsed > 2 * expected) {
            break;
        }
        if (elapsed > expected && sinceOpen != 0) {
            opened = OpenSession(recording, port);
            openedAt = platform::TickMs();
            continue;
        }
        CEvent* events[] = {&QueueStopEvent(), &sessionEnded_};
        CEvent::WaitForMultiple(events, 2, 1000);
    }
    CloseSession();
    uint32_t frames = 0;
    {
        CLockGuard guard(itemLock_);
        frames = frames_;
    }
    if (!dataArrived_.IsSet()) {
        const std::string count = frames != 0 ? Format(". %u frames were received", frames) : "";
        driver_->DebugMessage(kLogInfo,
                              "%sSignal was lost during processing of file %s for device %s%s",
                              kEdgePrefix, recording.id.c_str(), device.c_str(), count.c_str());
    } else {
        const std::string count = frames != 0 ? Format("%u frames were received", frames)
                                              : "No new frames were received from this file";
        driver_->DebugMessage(kLogInfo,
                              "%sProcessing of recorded file %s on device %s is completed. %s",
                              kEdgePrefix, recording.id.c_str(), device.c_str(), count.c_str());
    }
    return packetsSeen_ || Stopping();
}

bool CAxisEdgeStorageHandler::OnRtspDescribeProcessed(const SessionDescription& description) {
    CLockGuard guard(sessionLock_);
    if (parser_) {
        parser_->SetParameterSets(description.parameterSets);
    }
    return true;
}

void CAxisEdgeStorageHandler::OnRtspPacketReceived(const CRTPPacket& packet) {
    CLockGuard guard(sessionLock_);
    if (!client_ || !parser_) {
        return;
    }
    if (!anchored_) {
        // The camera names the time of the first frame it sends; without it, the position
        // asked for stands.
        TimeValue start = clock_.DeviceToLocal(client_->Parser().rangeClockStart);
        uint32_t rate = 0;
        {
            CLockGuard itemGuard(itemLock_);
            if (start == 0) {
                start = position_;
            }
            rate = recording_.frameRate;
        }
        converter_.SetSyncPoint(start, 10000000 / std::max<uint32_t>(rate, 1));
        anchored_ = true;
    }
    packetsSeen_ = true;
    parser_->ProcessPacket(packet);
}

void CAxisEdgeStorageHandler::ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME& time) {
    converter_.Convert(rtpTimestamp);
    converter_.GetTime(time);
}

Size CAxisEdgeStorageHandler::GetRequestedSize() {
    CLockGuard guard(itemLock_);
    return {recording_.width, recording_.height};
}

std::string CAxisEdgeStorageHandler::GetStreamName() {
    return driver_->GetDriverName() + "::EdgeChannel";
}

bool CAxisEdgeStorageHandler::FrameReady(ipcapture::IVideoFrame* frame) {
    SYSTEMTIME stamp{};
    frame->GetTimestamp(&stamp);
    const TimeValue time = SystemTimeToTime(stamp);
    CLockGuard guard(itemLock_);
    // The gap's end is the first live frame after it: that one the host already has.
    if (time >= end_) {
        sessionEnded_.Set();
        return false;
    }
    if (time <= position_ || (waitForKeyFrame_ && !IsKeyFrameCode(frame->GetFourCC()))) {
        return false;
    }
    if (!DeliverToChannel(channel_, frame)) {
        return false;
    }
    waitForKeyFrame_ = false;
    position_ = time;
    ++frames_;
    ++framesSinceOpen_;
    return true;
}

}  // namespace vornak
