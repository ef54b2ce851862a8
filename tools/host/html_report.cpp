#include "html_report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <optional>

namespace quillon::host {

namespace {

using EventKind = StreamRecorder::EventKind;
using Timeline = StreamRecorder::Timeline;

constexpr int kWidth = 960;
constexpr int kHeight = 130;
constexpr int kLeft = 70;
constexpr int kRight = 12;
constexpr int kTop = 20;
constexpr int kBottom = 22;

template <typename... Args>
std::string Printf(const char* format, Args... args) {
    char text[512];
    std::snprintf(text, sizeof(text), format, args...);
    return text;
}

std::string Html(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const char* entity = c == '&'   ? "&amp;"
                             : c == '<' ? "&lt;"
                             : c == '>' ? "&gt;"
                             : c == '"' ? "&quot;"
                                        : nullptr;
        entity != nullptr ? out.append(entity) : out.append(1, c);
    }
    return out;
}

// A JSON string; '<' escaped too, so no text can close the element the JSON stands in.
std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == '<') {
            out += Printf("\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

const char* EventName(EventKind kind) {
    switch (kind) {
        case EventKind::SignalLost:
            return "signal-lost";
        case EventKind::Reconnected:
            return "reconnected";
        default:
            return "resumed";
    }
}

std::string EventText(const StreamRecorder::Event& e) {
    switch (e.kind) {
        case EventKind::SignalLost:
            return Printf("signal lost (%llu report%s)", static_cast<unsigned long long>(e.reports),
                          e.reports == 1 ? "" : "s");
        case EventKind::Reconnected:
            return Printf("reconnected: frames again after %.1f s", e.gapMs / 1000.0);
        default:
            return Printf("frames again after %.1f s without any, no loss reported",
                          e.gapMs / 1000.0);
    }
}

std::string UtcText(int64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    return Printf("%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
}

// The figures of the terminal's summary table, formatted as it formats them.
struct SummaryRow {
    std::string channel, kind, codec, size, frames, fps, kbits, keys, lost, file;
};

SummaryRow Summarize(StreamRecorder& r, const StreamRecorder::Figures& f, double elapsed) {
    SummaryRow row;
    row.channel = std::to_string(r.Spec().channel);
    row.kind = KindText(r.Spec().stream);
    row.codec = f.frames ? FourCCText(f.fourcc) : "-";
    row.size = Printf("%ux%u", f.width, f.height);
    row.frames = std::to_string(f.frames);
    row.fps = Printf("%.1f", static_cast<double>(f.frames) / elapsed);
    row.kbits = Printf("%.0f", static_cast<double>(f.bytes) * 8 / 1000 / elapsed);
    row.keys = std::to_string(f.keyFrames);
    row.lost = std::to_string(f.signalLost);
    row.file = r.OutputPath().empty() ? "-" : r.OutputPath();
    return row;
}

// 1, 2 or 5 times a power of ten, at least value.
double NiceCeil(double value) {
    if (value <= 0) {
        return 1;
    }
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (const double step : {1.0, 2.0, 5.0, 10.0}) {
        if (value <= step * power) {
            return step * power;
        }
    }
    return 10 * power;
}

double TickStep(double span) {
    for (const double step : {1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 60.0, 120.0, 300.0, 600.0, 900.0,
                              1800.0, 3600.0, 7200.0, 21600.0}) {
        if (span / step <= 12) {
            return step;
        }
    }
    return 43200;
}

std::string TimeLabel(double seconds) {
    const auto s = static_cast<long long>(seconds);
    return s < 60 ? Printf("%llds", s) : Printf("%lld:%02lld", s / 60, s % 60);
}

struct Series {
    const char* title;
    std::vector<std::optional<double>> values;  // one an interval; empty where nothing to show
    bool bars = false;
};

std::string Chart(const Series& series, const Timeline& t, double span) {
    const double plotW = kWidth - kLeft - kRight;
    const double plotH = kHeight - kTop - kBottom;
    const double interval = t.intervalSeconds;
    auto x = [&](double seconds) { return kLeft + seconds / span * plotW; };
    double top = 0;
    for (const auto& v : series.values) {
        top = std::max(top, v.value_or(0));
    }
    top = NiceCeil(top);
    auto y = [&](double v) { return kTop + plotH - v / top * plotH; };

    std::string svg = Printf(
        "<svg width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" role=\"img\">"
        "<text x=\"%d\" y=\"13\" class=\"title\">%s</text>"
        "<rect x=\"%d\" y=\"%d\" width=\"%.0f\" height=\"%.0f\" class=\"plot\"/>",
        kWidth, kHeight, kWidth, kHeight, kLeft, series.title, kLeft, kTop, plotW, plotH);
    for (const double v : {0.0, top / 2, top}) {
        svg += Printf(
            "<line x1=\"%d\" x2=\"%.1f\" y1=\"%.1f\" y2=\"%.1f\" class=\"grid\"/>"
            "<text x=\"%d\" y=\"%.1f\" class=\"ylabel\">%g</text>",
            kLeft, kLeft + plotW, y(v), y(v), kLeft - 5, y(v) + 4, v);
    }
    const double step = TickStep(span);
    for (double s = 0; s <= span + 1e-9; s += step) {
        svg += Printf(
            "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%.1f\" y2=\"%.1f\" class=\"grid\"/>"
            "<text x=\"%.1f\" y=\"%d\" class=\"xlabel\">%s</text>",
            x(s), x(s), kTop + 0.0, kTop + plotH, x(s), kHeight - 6, TimeLabel(s).c_str());
    }
    std::string points;
    auto flush = [&] {
        if (!points.empty()) {
            svg += "<polyline class=\"line\" points=\"" + points + "\"/>";
            points.clear();
        }
    };
    for (size_t i = 0; i < series.values.size(); ++i) {
        const double x0 = x(static_cast<double>(i) * interval);
        const double x1 = x(std::min(span, static_cast<double>(i + 1) * interval));
        if (!series.values[i]) {
            flush();
            continue;
        }
        const double v = *series.values[i];
        if (series.bars) {
            if (v > 0) {
                svg += Printf(
                    "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
                    "class=\"bar\"/>",
                    x0, y(v), std::max(1.0, x1 - x0 - 1), kTop + plotH - y(v));
            }
            continue;
        }
        points += Printf("%.1f,%.1f %.1f,%.1f ", x0, y(v), x1, y(v));
    }
    flush();
    for (const StreamRecorder::Event& e : t.events) {
        const double at = x(std::min(span, e.atMs / 1000.0));
        if (e.gapMs > 0) {  // shade the time without frames
            const double from = x(std::max<int64_t>(0, e.atMs - e.gapMs) / 1000.0);
            svg += Printf(
                "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%.0f\" "
                "class=\"gap\"/>",
                from, kTop, at - from, plotH);
        }
        svg += Printf(
            "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%d\" y2=\"%.1f\" class=\"%s\">"
            "<title>%.1f s: %s</title></line>",
            at, at, kTop, kTop + plotH, EventName(e.kind), e.atMs / 1000.0,
            Html(EventText(e)).c_str());
    }
    return svg + "</svg>\n";
}

std::string StreamSection(StreamRecorder& r, const Timeline& t, double span) {
    const size_t count = static_cast<size_t>(std::ceil(span / t.intervalSeconds));
    Series fps{"Frame rate (frames/s)", {}, false};
    Series kbits{"Bit rate (kbit/s)", {}, false};
    Series lag{"Lag behind the wall clock (ms, worst of the interval)", {}, false};
    Series keys{"Key frames (per interval)", {}, true};
    for (size_t i = 0; i < std::max(count, t.samples.size()); ++i) {
        const StreamRecorder::Sample s =
            i < t.samples.size() ? t.samples[i] : StreamRecorder::Sample{};
        fps.values.push_back(s.frames / static_cast<double>(t.intervalSeconds));
        kbits.values.push_back(static_cast<double>(s.bytes) * 8 / 1000 / t.intervalSeconds);
        lag.values.push_back(s.frames ? std::optional<double>(std::max<int64_t>(0, s.maxLagMs))
                                      : std::nullopt);
        keys.values.push_back(s.keyFrames);
    }
    const StreamSpec& spec = r.Spec();
    std::string html = Printf("<section><h2>Channel %u, %s stream (%s)</h2>\n", spec.channel,
                              KindText(spec.stream), Html(spec.text).c_str());
    html += Printf(
        "<p>Time runs from %s; one point per %u s. Marks: <span class=\"k-lost\">"
        "signal lost</span>, <span class=\"k-reconnected\">reconnected</span>, "
        "<span class=\"k-resumed\">frames again after a silence</span>.</p>\n",
        UtcText(t.startMs).c_str(), t.intervalSeconds);
    for (const Series* s : {&fps, &kbits, &lag, &keys}) {
        html += Chart(*s, t, span);
    }
    if (t.events.empty()) {
        html += "<p>No signal loss and no gap in the frames.</p>\n";
    } else {
        html += "<table><tr><th>at</th><th>wall clock</th><th>event</th></tr>\n";
        for (const StreamRecorder::Event& e : t.events) {
            html += Printf("<tr class=\"%s\"><td>%.1f s</td><td>%s</td><td>%s</td></tr>\n",
                           EventName(e.kind), e.atMs / 1000.0, UtcText(t.startMs + e.atMs).c_str(),
                           Html(EventText(e)).c_str());
        }
        html += "</table>\n";
    }
    if (t.eventsDropped != 0) {
        html += Printf("<p>%llu later events were not kept.</p>\n",
                       static_cast<unsigned long long>(t.eventsDropped));
    }
    return html + "</section>\n";
}

std::string StreamJson(const StreamSpec& spec, const SummaryRow& row,
                       const StreamRecorder::Figures& f, const Timeline& t) {
    std::string json = "{\"spec\":" + Json(spec.text) + ",\"summary\":{";
    const std::pair<const char*, const std::string*> cells[] = {
        {"channel", &row.channel}, {"stream", &row.kind},   {"codec", &row.codec},
        {"size", &row.size},       {"frames", &row.frames}, {"fps", &row.fps},
        {"kbits", &row.kbits},     {"keys", &row.keys},     {"lost", &row.lost},
        {"file", &row.file}};
    for (size_t i = 0; i < std::size(cells); ++i) {
        json += Printf("%s\"%s\":", i ? "," : "", cells[i].first) + Json(*cells[i].second);
    }
    json += Printf(
        "},\"counters\":{\"frames\":%llu,\"keyFrames\":%llu,\"bytes\":%llu,"
        "\"signalLost\":%llu},\"startMs\":%lld,\"intervalSeconds\":%u,"
        "\"eventsDropped\":%llu,\"samples\":[",
        static_cast<unsigned long long>(f.frames), static_cast<unsigned long long>(f.keyFrames),
        static_cast<unsigned long long>(f.bytes), static_cast<unsigned long long>(f.signalLost),
        static_cast<long long>(t.startMs), t.intervalSeconds,
        static_cast<unsigned long long>(t.eventsDropped));
    for (size_t i = 0; i < t.samples.size(); ++i) {
        const StreamRecorder::Sample& s = t.samples[i];
        json += Printf("%s[%u,%u,%llu,%lld]", i ? "," : "", s.frames, s.keyFrames,
                       static_cast<unsigned long long>(s.bytes),
                       static_cast<long long>(s.frames ? s.maxLagMs : 0));
    }
    json += "],\"events\":[";
    for (size_t i = 0; i < t.events.size(); ++i) {
        const StreamRecorder::Event& e = t.events[i];
        json += Printf("%s{\"kind\":\"%s\",\"atMs\":%lld,\"gapMs\":%lld,\"reports\":%llu}",
                       i ? "," : "", EventName(e.kind), static_cast<long long>(e.atMs),
                       static_cast<long long>(e.gapMs), static_cast<unsigned long long>(e.reports));
    }
    // Frame-time steps as [arrival ms since the start, step ms].
    for (const auto& [name, steps] : {std::pair{"gaps", &t.gaps}, {"backSteps", &t.backSteps}}) {
        json += Printf("],\"%s\":[", name);
        for (size_t i = 0; i < steps->size(); ++i) {
            json += Printf("%s[%lld,%lld]", i ? "," : "", static_cast<long long>((*steps)[i].atMs),
                           static_cast<long long>((*steps)[i].stepMs));
        }
    }
    return json + Printf("],\"stepsDropped\":%llu,\"lastArrivalMs\":%lld}",
                         static_cast<unsigned long long>(t.stepsDropped),
                         static_cast<long long>(t.lastArrivalMs));
}

constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse;margin:.5em 0}"
    "td,th{border:1px solid #bbb;padding:2px 8px;text-align:right}"
    "svg{display:block;margin:4px 0}"
    "svg text{font-size:11px;fill:#333}"
    ".title{font-weight:bold}.ylabel{text-anchor:end}.xlabel{text-anchor:middle}"
    ".plot{fill:#fafafa;stroke:#999}.grid{stroke:#e2e2e2}.gap{fill:#d11;fill-opacity:.08}"
    ".line{fill:none;stroke:#1f5fbf;stroke-width:1.5}.bar{fill:#1f5fbf}"
    ".signal-lost{stroke:#d11;stroke-width:2;stroke-dasharray:5,3}"
    ".reconnected{stroke:#191;stroke-width:2}.resumed{stroke:#d80;stroke-width:2}"
    ".k-lost{color:#d11}.k-reconnected{color:#191}.k-resumed{color:#d80}"
    "tr.signal-lost td{color:#d11}tr.reconnected td{color:#191}tr.resumed td{color:#d80}";

}  // namespace

std::string HtmlReport(const std::string& title, const std::vector<StreamRecorder*>& streams,
                       double elapsedSeconds) {
    const double elapsed = elapsedSeconds > 0 ? elapsedSeconds : 1;
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" +
                       Html(title) + "</title><style>" + kStyle + "</style></head><body>\n<h1>" +
                       Html(title) + "</h1>\n";
    html += Printf("<p>Run time %.1f s.</p>\n<table><tr>", elapsed);
    for (const char* head :
         {"ch", "stream", "codec", "size", "frames", "fps", "kbit/s", "keys", "lost", "file"}) {
        html += std::string("<th>") + head + "</th>";
    }
    html += "</tr>\n";
    std::string sections;
    for (size_t i = 0; i < streams.size(); ++i) {
        StreamRecorder& r = *streams[i];
        const StreamRecorder::Figures f = r.Snapshot();
        const Timeline t = r.TimelineSnapshot();
        const SummaryRow row = Summarize(r, f, elapsed);
        html += "<tr>";
        for (const std::string* cell : {&row.channel, &row.kind, &row.codec, &row.size, &row.frames,
                                        &row.fps, &row.kbits, &row.keys, &row.lost, &row.file}) {
            html += "<td>" + Html(*cell) + "</td>";
        }
        html += "</tr>\n";
        const double span =
            std::max(elapsed, static_cast<double>(t.samples.size()) * t.intervalSeconds);
        sections += StreamSection(r, t, span);
    }
    html += "</table>\n" + sections;
    return html + "<script type=\"application/json\" id=\"quillon-data\">" +
           RunJson(streams, elapsed) + "</script>\n</body></html>\n";
}

std::string RunJson(const std::vector<StreamRecorder*>& streams, double elapsedSeconds) {
    const double elapsed = elapsedSeconds > 0 ? elapsedSeconds : 1;
    std::string json = Printf("{\"elapsedSeconds\":%.3f,\"streams\":[", elapsed);
    for (size_t i = 0; i < streams.size(); ++i) {
        StreamRecorder& r = *streams[i];
        const StreamRecorder::Figures f = r.Snapshot();
        json += (i ? ",\n" : "\n") +
                StreamJson(r.Spec(), Summarize(r, f, elapsed), f, r.TimelineSnapshot());
    }
    return json + "]}\n";
}

bool WriteHtmlReport(const std::string& path, const std::string& title,
                     const std::vector<StreamRecorder*>& streams, double elapsedSeconds,
                     std::string& error) {
    return WriteTextFile(path, HtmlReport(title, streams, elapsedSeconds), error);
}

bool WriteTextFile(const std::string& path, const std::string& page, std::string& error) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(page.data(), 1, page.size(), f) == page.size();
    if (std::fclose(f) != 0 || !written) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace quillon::host
