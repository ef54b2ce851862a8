#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "base/time.h"
#include "html_report.h"

namespace quillon::host {
namespace {

constexpr uint32_t kH264Key = 0x34363248;    // "H264"
constexpr uint32_t kH264Other = 0x34363249;  // "I264"

// One frame arriving `atMs` into the run, stamped `lagMs` before it arrives.
void FeedFrame(StreamRecorder& r, int64_t atMs, bool key, uint32_t size, int64_t lagMs = 40) {
    const int64_t now = r.TimelineSnapshot().startMs + atMs;
    vornak::SYSTEMTIME stamp{};
    vornak::TimeToSystemTime(vornak::kUnixEpochTicks + (now - lagMs) * vornak::kTicksPerMs, stamp);
    HostVideoFrame frame(key ? kH264Key : kH264Other, size, "");
    frame.SetDataSize(size);
    frame.SetTimestamp(&stamp);
    r.OnFrameAt(&frame, now);
}

using Row = std::vector<std::string>;

// The groups of every match of pattern in text.
std::vector<Row> Matches(const std::string& text, const std::string& pattern) {
    std::vector<Row> rows;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it) {
        Row row;
        for (size_t i = 1; i < it->size(); ++i) {
            row.push_back((*it)[i].str());
        }
        rows.push_back(row);
    }
    return rows;
}

// A run with an outage the driver reported (two reports), then a silence it did not report:
// the page read back must give the recorder's counters, the summary's figures, the events and
// the steps in frame time where they happened, and load nothing from outside.
TEST(HtmlReportTest, PageCarriesTheRunAndNothingExternal) {
    std::string error;
    StreamRecorder r(*ParseStreamSpec("0:0:3@25", error), "", true);
    for (int64_t ms = 0; ms < 5000; ms += 40) {
        // One frame missing at 2040: a step of 80 ms, over one and a half intervals.
        if (ms != 2040) {
            FeedFrame(r, ms, ms % 1000 == 0, 1000 + static_cast<uint32_t>(ms % 7));
        }
    }
    r.OnSignalLostAt(r.TimelineSnapshot().startMs + 6000);
    r.OnSignalLostAt(r.TimelineSnapshot().startMs + 7000);
    for (int64_t ms = 9500; ms < 11500; ms += 40) {
        FeedFrame(r, ms, ms == 9500, 800);
    }
    FeedFrame(r, 14000, true, 900);
    FeedFrame(r, 14040, true, 900, 1040);  // stamped a second before the one ahead of it
    const double elapsed = 15.0;
    const auto path = std::filesystem::temp_directory_path() / "quillon-report-test.html";
    ASSERT_TRUE(WriteHtmlReport(path.string(), "run <1>", {&r}, elapsed, error)) << error;
    std::stringstream read;
    read << std::ifstream(path).rdbuf();
    const std::string page = read.str();
    std::filesystem::remove(path);

    for (const char* outside : {"http", "src=", "@import", "url(", "<link", "<iframe"}) {
        EXPECT_EQ(page.find(outside), std::string::npos) << outside;
    }
    EXPECT_NE(page.find("<title>run &lt;1&gt;</title>"), std::string::npos);

    const StreamRecorder::Figures f = r.Snapshot();
    const std::string frames = std::to_string(f.frames);
    const std::string bytes = std::to_string(f.bytes);
    EXPECT_EQ(Matches(page, R"("counters":\{"frames":(\d+),"keyFrames":(\d+),"bytes":(\d+),)"
                            R"("signalLost":(\d+)\})"),
              (std::vector<Row>{{frames, "8", bytes, "2"}}));
    long long sums[3] = {};
    const auto samples = Matches(page, R"(\[(\d+),(\d+),(\d+),(-?\d+)\])");
    ASSERT_EQ(samples.size(), 15u);
    for (const Row& s : samples) {
        for (int i = 0; i < 3; ++i) {
            sums[i] += std::stoll(s[i]);
        }
        EXPECT_EQ(s[3], s[0] == "0"             ? "0"
                        : &s == &samples.back() ? "1040"
                                                : "40")
            << "worst lag of an interval";
    }
    EXPECT_EQ(
        std::to_string(sums[0]) + " " + std::to_string(sums[1]) + " " + std::to_string(sums[2]),
        frames + " 8 " + bytes);
    EXPECT_EQ(samples[7][0], "0") << "no frames during the outage";
    // Kind, when (ms into the run), time without frames, loss reports folded in.
    EXPECT_EQ(Matches(page, R"x(\{"kind":"([a-z-]+)","atMs":(\d+),)x"
                            R"x("gapMs":(\d+),"reports":(\d+)\})x"),
              (std::vector<Row>{{"signal-lost", "6000", "0", "2"},
                                {"reconnected", "9500", "4540", "0"},
                                {"resumed", "14000", "2540", "0"}}));
    EXPECT_EQ(Matches(page, R"("gaps":\[([-\d,\[\]]*)\],"backSteps":\[([-\d,\[\]]*)\],)"
                            R"("stepsDropped":0,"lastArrivalMs":(\d+)\})"),
              (std::vector<Row>{{"[2080,80],[9500,4540],[14000,2540]", "[14040,-960]",
                                 std::to_string(r.TimelineSnapshot().startMs + 14040)}}));

    char fps[32];
    char kbits[32];
    std::snprintf(fps, sizeof(fps), "%.1f", static_cast<double>(f.frames) / elapsed);
    std::snprintf(kbits, sizeof(kbits), "%.0f", static_cast<double>(f.bytes) * 8 / 1000 / elapsed);
    const std::string row = std::string("<tr><td>0</td><td>rec</td><td>H264</td><td>0x0</td><td>") +
                            std::to_string(f.frames) + "</td><td>" + fps + "</td><td>" + kbits +
                            "</td><td>8</td><td>2</td><td>-</td></tr>";
    EXPECT_NE(page.find(row), std::string::npos) << row;
    EXPECT_NE(page.find(std::string("\"fps\":\"") + fps + "\",\"kbits\":\"" + kbits + "\""),
              std::string::npos);
}

// A day-long run keeps at most kMaxSamples intervals, each longer, with nothing lost.
TEST(HtmlReportTest, LongRunWidensIntervalsInsteadOfGrowing) {
    std::string error;
    StreamRecorder r(*ParseStreamSpec("0:1:1", error), "", true);
    FeedFrame(r, 500, true, 10);
    FeedFrame(r, 1500, false, 10);
    FeedFrame(r, 3 * 3600 * 1000, true, 20);
    EXPECT_EQ(r.TimelineSnapshot().intervalSeconds, 4u);
    FeedFrame(r, 50 * 366 * 86400 * int64_t{1000}, true, 30);  // a wall clock stepped far ahead
    const StreamRecorder::Timeline t = r.TimelineSnapshot();
    EXPECT_EQ(t.intervalSeconds, 16384u);
    EXPECT_LE(t.samples.size(), StreamRecorder::kMaxSamples);
    EXPECT_EQ(t.samples.front().bytes, 40u) << "merged intervals keep their sums";
    EXPECT_EQ(t.samples.back().bytes, 30u);
}

}  // namespace
}  // namespace quillon::host
