#include "fault_schedule.h"

#include <algorithm>
#include <charconv>
#include <chrono>

#include "text_util.h"

namespace camsim {

namespace {

using ScheduledKind = ScheduledFault::Kind;

struct FaultKindSyntax {
    const char* name;
    ScheduledKind kind;
    bool has_seconds;  // FOR (restart: DOWNTIME)
    int counts;        // numbers after it: 0, 1 (COUNT or EVERY) or 1-2 (COUNT [BYTES])
};

constexpr FaultKindSyntax kFaultKindSyntax[] = {
    {"restart", ScheduledKind::kRestart, true, 0},
    {"outage", ScheduledKind::kOutage, true, 0},
    {"stall", ScheduledKind::kStall, true, 2},
    {"auth401", ScheduledKind::kAuth401, true, 1},
    {"stale-nonce", ScheduledKind::kStaleNonce, false, 0},
    {"rtp-drop", ScheduledKind::kRtpDrop, true, 1},
    {"rtp-duplicate", ScheduledKind::kRtpDuplicate, true, 1},
    {"rtp-reorder", ScheduledKind::kRtpReorder, true, 1},
    {"ignore-keepalives", ScheduledKind::kIgnoreKeepAlives, true, 0},
    {"close", ScheduledKind::kClose, false, 0},
};

std::optional<double> ParseScheduleSeconds(std::string_view text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !(value >= 0) || value > 1e7) {
        return std::nullopt;
    }
    return value;
}

int64_t ScheduleWallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

const char* ScheduledFaultName(ScheduledKind kind) {
    for (const FaultKindSyntax& k : kFaultKindSyntax) {
        if (k.kind == kind) {
            return k.name;
        }
    }
    return "?";
}

std::optional<std::vector<ScheduledFault>> ParseFaultSchedule(std::string_view text,
                                                              std::string* error) {
    std::vector<ScheduledFault> out;
    int number = 0;
    for (std::string_view line : Split(text, '\n')) {
        ++number;
        const std::string_view content = Trim(line.substr(0, line.find('#')));
        if (content.empty()) {
            continue;
        }
        std::vector<std::string_view> words;
        for (std::string_view w : Split(content, ' ')) {
            if (!Trim(w).empty()) {
                words.push_back(Trim(w));
            }
        }
        auto fail = [&](const std::string& what) {
            if (error != nullptr) {
                *error =
                    "line " + std::to_string(number) + ": " + what + ": " + std::string(content);
            }
            return std::nullopt;
        };
        ScheduledFault f;
        f.line = number;
        f.text = std::string(content);
        const auto at = ParseScheduleSeconds(words[0]);
        if (!at) {
            return fail("the time must be seconds after the start");
        }
        f.at = *at;
        if (words.size() < 2) {
            return fail("no fault named");
        }
        const auto syntax =
            std::find_if(std::begin(kFaultKindSyntax), std::end(kFaultKindSyntax),
                         [&](const FaultKindSyntax& k) { return words[1] == k.name; });
        if (syntax == std::end(kFaultKindSyntax)) {
            return fail("unknown fault");
        }
        f.kind = syntax->kind;
        size_t next = 2;
        if (syntax->has_seconds) {
            const auto seconds =
                next < words.size() ? ParseScheduleSeconds(words[next]) : std::nullopt;
            if (!seconds || *seconds == 0) {
                return fail("a duration in seconds is missing");
            }
            f.seconds = *seconds;
            ++next;
        }
        const size_t numbers = words.size() - next;
        const size_t least = syntax->counts == 0 ? 0 : 1;
        if (numbers < least || numbers > static_cast<size_t>(syntax->counts)) {
            return fail(syntax->counts == 0 ? "too many arguments" : "wrong number of arguments");
        }
        for (size_t i = 0; i < numbers; ++i) {
            const auto value = ParseUint(words[next + i]);
            if (!value || *value == 0 || *value > 1000000000) {
                return fail("counts are whole numbers from 1");
            }
            (i == 0 ? f.count : f.bytes) = *value;
        }
        out.push_back(std::move(f));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const ScheduledFault& a, const ScheduledFault& b) { return a.at < b.at; });
    return out;
}

FaultScheduleRunner::FaultScheduleRunner(Simulator& sim, std::vector<ScheduledFault> faults,
                                         std::FILE* log)
    : sim_(sim), faults_(std::move(faults)), log_(log) {}

void FaultScheduleRunner::Advance(double since) {
    // Ends first, so that a fault starting as another ends is not withdrawn with it.
    for (size_t i = 0; i < active_.size();) {
        if (active_[i].at + active_[i].seconds <= since) {
            const ScheduledFault ended = active_[i];
            active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(i));
            End(ended, since);
        } else {
            ++i;
        }
    }
    while (next_ < faults_.size() && faults_[next_].at <= since) {
        Apply(faults_[next_++], since);
    }
}

void FaultScheduleRunner::Finish(double since) {
    while (!active_.empty()) {
        const ScheduledFault ended = active_.back();
        active_.pop_back();
        End(ended, since);
    }
}

void FaultScheduleRunner::Apply(const ScheduledFault& f, double since) {
    Log("start", f, since);
    switch (f.kind) {
        case ScheduledKind::kRestart:
            sim_.Restart(std::chrono::milliseconds(static_cast<int64_t>(f.seconds * 1000)));
            break;
        case ScheduledKind::kOutage:
            sim_.StopMedia(true);
            break;
        case ScheduledKind::kStall: {
            Fault stall;
            stall.kind = Fault::Kind::kStall;
            stall.after_bytes = f.bytes;
            stall.count = static_cast<int>(f.count);
            sim_.SetRtspFault("PLAY", stall);
            sim_.SetHttpFault("/axis-cgi/mjpg/video.cgi", stall);
            sim_.CloseAllConnections();
            break;
        }
        case ScheduledKind::kAuth401: {
            Fault refuse;
            refuse.kind = Fault::Kind::kStatus;
            refuse.status = 401;
            refuse.count = static_cast<int>(f.count);
            sim_.SetRtspFault("", refuse);
            sim_.SetHttpFault("", refuse);
            sim_.CloseAllConnections();
            break;
        }
        case ScheduledKind::kStaleNonce:
            sim_.ExpireNonces();
            break;
        case ScheduledKind::kIgnoreKeepAlives:
            sim_.IgnoreKeepAlives(true);
            break;
        case ScheduledKind::kClose:
            sim_.CloseAllConnections();
            break;
        case ScheduledKind::kRtpDrop:
        case ScheduledKind::kRtpDuplicate:
        case ScheduledKind::kRtpReorder:
            break;  // SetLiveRtp below, once it is active
    }
    if (f.seconds > 0) {
        active_.push_back(f);
    } else {
        Log("end", f, since);
    }
    SetLiveRtp();
}

void FaultScheduleRunner::End(const ScheduledFault& f, double since) {
    auto on = [this](ScheduledKind kind) {
        return std::any_of(active_.begin(), active_.end(),
                           [kind](const ScheduledFault& a) { return a.kind == kind; });
    };
    if (f.kind == ScheduledKind::kStall || f.kind == ScheduledKind::kAuth401) {
        // Withdraws the requests not yet spoilt; the simulator clears everything at once, so
        // what is still on is set again.
        sim_.ClearFaults();
        sim_.StopMedia(on(ScheduledKind::kOutage));
        sim_.IgnoreKeepAlives(on(ScheduledKind::kIgnoreKeepAlives));
    } else if (f.kind == ScheduledKind::kOutage) {
        sim_.StopMedia(on(ScheduledKind::kOutage));
    } else if (f.kind == ScheduledKind::kIgnoreKeepAlives) {
        sim_.IgnoreKeepAlives(on(ScheduledKind::kIgnoreKeepAlives));
    }
    SetLiveRtp();
    Log("end", f, since);
}

void FaultScheduleRunner::SetLiveRtp() {
    RtpFaultPlan plan;
    for (const ScheduledFault& a : active_) {
        const auto every = static_cast<uint32_t>(a.count);
        if (a.kind == ScheduledKind::kRtpDrop) {
            plan.drop_every = every;
        } else if (a.kind == ScheduledKind::kRtpDuplicate) {
            plan.duplicate_every = every;
        } else if (a.kind == ScheduledKind::kRtpReorder) {
            plan.reorder_every = every;
        }
    }
    sim_.SetLiveRtpFaults(plan);
}

void FaultScheduleRunner::Log(const char* event, const ScheduledFault& f, double since) {
    if (log_ == nullptr) {
        return;
    }
    std::fprintf(log_,
                 "{\"event\":\"%s\",\"kind\":\"%s\",\"line\":%d,\"t\":%.3f,\"wall_ms\":%lld,"
                 "\"seconds\":%.3f,\"count\":%llu}\n",
                 event, ScheduledFaultName(f.kind), f.line, since,
                 static_cast<long long>(ScheduleWallMs()), f.seconds,
                 static_cast<unsigned long long>(f.count));
    std::fflush(log_);
}

}  // namespace camsim
