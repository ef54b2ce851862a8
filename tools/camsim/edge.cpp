#include "edge.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace camsim {

namespace {

using SysClock = std::chrono::system_clock;
using Millis = std::chrono::milliseconds;

constexpr int kPlaybackSpeed = 8;  // recordings stream this many times faster than real time
const char* const kLiveRecording = "20240305_135900_1A2B_ACCC8E012345";
const char* const kOldRecording = "20240305_120000_0F0F_ACCC8E012345";

}  // namespace

struct EdgeState {
    struct Recording {
        std::string id;
        SysClock::time_point start;  // host clock; the device's differs by its offset
        std::optional<SysClock::time_point> stop;
    };
    std::mutex mutex;
    CardState card = CardState::kOk;
    DeviceClock clock;
    std::vector<Recording> recordings;
};

namespace {

EdgeState& EdgeOf(Simulator::Impl& impl) {
    std::lock_guard lock(impl.mutex);
    if (!impl.edge) {
        // An old completed recording, and the continuous one that started with the camera.
        impl.edge = std::make_shared<EdgeState>();
        impl.edge->recordings = {{kOldRecording, impl.started_at - std::chrono::minutes(10),
                                  impl.started_at - std::chrono::minutes(5)},
                                 {kLiveRecording, impl.started_at, std::nullopt}};
    }
    return *impl.edge;
}

std::string FormatUtc(SysClock::time_point t, const char* pattern) {
    const auto ms = std::chrono::duration_cast<Millis>(t.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(ms / 1000);
    std::tm fields{};
    gmtime_r(&seconds, &fields);
    char text[64];
    snprintf(text, sizeof(text), pattern, fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
             fields.tm_hour, fields.tm_min, fields.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

std::string Iso(SysClock::time_point t) {
    return FormatUtc(t, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ");
}

// "2024-03-05T14:07:09[.fff]Z", or the compact "20240305T140709[.fff]Z" of RTSP clock ranges.
std::optional<SysClock::time_point> ParseUtc(const std::string& text) {
    std::tm f{};
    int consumed = 0;
    const bool compact = text.size() > 8 && text[8] == 'T';
    const char* pattern = compact ? "%4d%2d%2dT%2d%2d%2d%n" : "%4d-%2d-%2dT%2d:%2d:%2d%n";
    if (sscanf(text.c_str(), pattern, &f.tm_year, &f.tm_mon, &f.tm_mday, &f.tm_hour, &f.tm_min,
               &f.tm_sec, &consumed) != 6) {
        return std::nullopt;
    }
    f.tm_year -= 1900;
    f.tm_mon -= 1;
    auto t = SysClock::from_time_t(timegm(&f));
    if (text[static_cast<size_t>(consumed)] == '.') {
        std::string digits = text.substr(static_cast<size_t>(consumed) + 1, 3);
        digits.resize(3, '0');
        t += Millis(ParseUint(digits).value_or(0));
    }
    return t;
}

// The recording's frames are the clip looped from its start, one per 1/fps.
struct RecordedStream {
    StreamRequest request;
    std::shared_ptr<const Clip> clip;
};

std::optional<RecordedStream> RecordedStreamOf(Simulator::Impl& impl, int* status) {
    auto sr = impl.ResolveStream("videocodec=h264", "/axis-media/media.amp", status);
    if (!sr)
        return std::nullopt;
    auto clip = impl.media->Find(sr->codec, sr->width, sr->height, sr->compression);
    if (!clip || clip->frames.empty()) {
        *status = 503;
        return std::nullopt;
    }
    return RecordedStream{*sr, clip};
}

void ReplyEdge(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn, const Request& req,
               int status, const std::string& type, const std::string& body) {
    bool keep = false;
    conn->Send(impl.HttpResponse(req, status, type, body, "", &keep));
    if (!keep)
        conn->CloseAfterWrite();
}

std::string DisksXml(CardState card) {
    std::string body = "<?xml version=\"1.0\"?>\n<root>\n";
    if (card == CardState::kAbsent)
        return body + "  <disks numberofdisks=\"0\"/>\n</root>\n";
    body +=
        "  <disks numberofdisks=\"1\">\n    <disk diskid=\"SD_DISK\" name=\"SD card\" "
        "totalsize=\"7761920\" freesize=\"7524352\" cleanuplevel=\"90\" cleanupmaxage=\"7\" "
        "cleanuppolicy=\"fifo\" locked=\"";
    body += card == CardState::kLocked ? "yes" : "no";
    body += "\" full=\"no\" readonly=\"";
    body += card == CardState::kReadOnly ? "yes" : "no";
    body += "\" status=\"";
    body += card == CardState::kFailed ? "failed" : "OK";
    return body + "\" filesystem=\"vfat\" group=\"S0\"/>\n  </disks>\n</root>\n";
}

std::string RecordingXml(const EdgeState::Recording& r, Millis offset,
                         const RecordedStream& stream) {
    std::string xml = "    <recording diskid=\"SD_DISK\" recordingid=\"" + r.id +
                      "\" starttime=\"" + Iso(r.start + offset) + "\"";
    if (r.stop)
        xml += " stoptime=\"" + Iso(*r.stop + offset) + "\"";
    xml += " recordingtype=\"continuous\" eventid=\"continuous\" eventtrigger=\"continuous\"";
    xml += std::string(" recordingstatus=\"") + (r.stop ? "completed" : "recording") +
           "\" source=\"1\" locked=\"No\">\n";
    const std::string w = std::to_string(stream.clip->width);
    const std::string h = std::to_string(stream.clip->height);
    xml += "      <video mimetype=\"video/x-h264\" width=\"" + w + "\" height=\"" + h +
           "\" framerate=\"" + std::to_string(stream.clip->fps) + ":1\" resolution=\"" + w + "x" +
           h + "\"/>\n    </recording>\n";
    return xml;
}

void RecordList(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn, const Request& req,
                const QueryArgs& args) {
    int status = 0;
    auto stream = RecordedStreamOf(impl, &status);
    if (!stream)
        return ReplyEdge(impl, conn, req, status, "text/plain", "Error\r\n");
    EdgeState& edge = EdgeOf(impl);
    std::lock_guard lock(edge.mutex);
    const Millis offset = edge.clock.offset;
    const std::string id = FindArg(args, "recordingid").value_or("all");
    // The filter times are device times; a recording matches when it overlaps them.
    auto from = ParseUtc(FindArg(args, "starttime").value_or(""));
    auto to = ParseUtc(FindArg(args, "stoptime").value_or(""));
    std::string items;
    size_t count = 0;
    for (const auto& r : edge.recordings) {
        const auto end = (r.stop ? *r.stop : SysClock::now()) + offset;
        if ((id != "all" && id != r.id) || (from && end < *from) || (to && r.start + offset > *to))
            continue;
        items += RecordingXml(r, offset, *stream);
        ++count;
    }
    const std::string n = std::to_string(count);
    ReplyEdge(impl, conn, req, 200, "text/xml",
              "<?xml version=\"1.0\"?>\n<root>\n  <recordings totalnumberofrecordings=\"" + n +
                  "\" numberofrecordings=\"" + n + "\">\n" + items + "  </recordings>\n</root>\n");
}

void ClockCgi(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn, const Request& req,
              bool json) {
    DeviceClock clock;
    {
        EdgeState& edge = EdgeOf(impl);
        std::lock_guard lock(edge.mutex);
        clock = edge.clock;
    }
    const auto device = SysClock::now() + clock.offset;
    if (json) {
        if (!clock.time_api)
            return ReplyEdge(impl, conn, req, 404, "text/html", "<HTML>404 Not Found</HTML>\n");
        if (!clock.readable || req.body.find("getDateTimeInfo") == std::string::npos) {
            return ReplyEdge(impl, conn, req, 200, "application/json",
                             R"({"apiVersion":"1.0","error":{"code":2002,"message":"failed"}})");
        }
        return ReplyEdge(impl, conn, req, 200, "application/json",
                         R"({"apiVersion":"1.0","data":{"dateTime":")" + Iso(device) +
                             R"(","localDateTime":")" + Iso(device + clock.zone) + R"("}})");
    }
    if (!clock.readable)
        return ReplyEdge(impl, conn, req, 200, "text/plain", "clock not set\r\n");
    // "Mar 05, 2024 14:07:09" in the device's local time.
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::string iso = Iso(device + clock.zone);
    const int month = std::stoi(iso.substr(5, 2));
    ReplyEdge(impl, conn, req, 200, "text/plain",
              std::string(kMonths[month - 1]) + " " + iso.substr(8, 2) + ", " + iso.substr(0, 4) +
                  " " + iso.substr(11, 8) + "\r\n");
}

}  // namespace

void EdgeCgi(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn, const Request& req,
             const QueryArgs& args) {
    const std::string path = SplitUrl(req.target).path;
    if (path == "/axis-cgi/disks/list.cgi") {
        EdgeState& edge = EdgeOf(impl);
        CardState card;
        {
            std::lock_guard lock(edge.mutex);
            card = edge.card;
        }
        ReplyEdge(impl, conn, req, 200, "text/xml", DisksXml(card));
    } else if (path == "/axis-cgi/record/list.cgi") {
        RecordList(impl, conn, req, args);
    } else {
        ClockCgi(impl, conn, req, path == "/axis-cgi/time.cgi");
    }
}

std::optional<StreamRequest> ResolveRecording(Simulator::Impl& impl, const std::string& id,
                                              int* status) {
    {
        EdgeState& edge = EdgeOf(impl);
        std::lock_guard lock(edge.mutex);
        bool known = false;
        for (const auto& r : edge.recordings)
            known = known || r.id == id;
        if (!known || edge.card == CardState::kAbsent || edge.card == CardState::kFailed) {
            *status = 404;
            return std::nullopt;
        }
    }
    auto stream = RecordedStreamOf(impl, status);
    if (!stream)
        return std::nullopt;
    stream->request.recording = id;
    stream->request.speed = kPlaybackSpeed;
    return stream->request;
}

std::string SeekRecording(Simulator::Impl& impl, Stream& stream, const std::string& range) {
    EdgeState& edge = EdgeOf(impl);
    std::lock_guard lock(edge.mutex);
    const EdgeState::Recording* found = nullptr;
    for (const auto& r : edge.recordings) {
        if (r.id == stream.Request().recording)
            found = &r;
    }
    if (!found)
        return {};
    const Clip& clip = stream.GetClip();
    const double fps = clip.fps;
    const auto end = found->stop ? *found->stop : SysClock::now();
    const double length = std::chrono::duration<double>(end - found->start).count();
    const uint64_t last = static_cast<uint64_t>(std::max(0.0, std::floor(length * fps)));
    uint64_t first = 0;
    const std::string clock = range.rfind("clock=", 0) == 0 ? range.substr(6) : std::string();
    if (auto at = ParseUtc(clock.substr(0, clock.find('-')))) {
        const double since =
            std::chrono::duration<double>(*at - edge.clock.offset - found->start).count();
        // The frame at or before the position; rounding up could start past it.
        first = static_cast<uint64_t>(std::max(0.0, std::floor(since * fps)));
    }
    // Playback starts at the key frame at or before the position asked for.
    while (first > 0 && !clip.frames[first % clip.frames.size()].key)
        --first;
    first = std::min(first, last);
    stream.Seek(first % clip.frames.size(), last - first + 1);
    const auto start = found->start + edge.clock.offset +
                       std::chrono::duration_cast<SysClock::duration>(
                           std::chrono::duration<double>(static_cast<double>(first) / fps));
    return "clock=" + FormatUtc(start, "%04d%02d%02dT%02d%02d%02d.%03dZ") + "-";
}

void Simulator::SetCard(CardState state) {
    EdgeState& edge = EdgeOf(*impl_);
    std::lock_guard lock(edge.mutex);
    edge.card = state;
}

void Simulator::SetDeviceClock(const DeviceClock& clock) {
    EdgeState& edge = EdgeOf(*impl_);
    std::lock_guard lock(edge.mutex);
    edge.clock = clock;
}

}  // namespace camsim
