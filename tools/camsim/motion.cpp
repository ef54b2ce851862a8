#include "motion.h"

#include <algorithm>

#include "server.h"

namespace camsim {

namespace {
constexpr const char* kBoundaryLine = "--axismdb\r\n";

void SendMotionRecord(std::shared_ptr<Connection> conn, Simulator::Impl* impl,
                      std::chrono::steady_clock::time_point due) {
    if (conn->Closed())
        return;
    const MotionFeed& feed = impl->motion;
    const std::string record = feed.Record(impl->params);
    if (record.empty()) {
        conn->CloseAfterWrite();  // the windows were removed under the stream
        return;
    }
    if (!feed.Split()) {
        conn->Send(record);
    } else {
        // Cut inside the first "group=" line, then let the first half leave on its own.
        const size_t cut = std::min(record.find("group=") + 8, record.size());
        conn->Send(record.substr(0, cut));
        auto rest = std::make_shared<asio::steady_timer>(impl->io, std::chrono::milliseconds(20));
        rest->async_wait([conn, rest, tail = record.substr(cut)](asio::error_code ec) {
            if (!ec && !conn->Closed())
                conn->Send(tail);
        });
    }
    due += feed.Interval();
    conn->Timer().expires_at(due);
    conn->Timer().async_wait([conn, impl, due](asio::error_code ec) {
        if (!ec)
            SendMotionRecord(conn, impl, due);
    });
}
}  // namespace

void MotionFeed::SetLevel(unsigned window, unsigned level) {
    std::lock_guard lock(mutex_);
    levels_[window] = level;
}

void MotionFeed::SetInterval(std::chrono::milliseconds interval) {
    std::lock_guard lock(mutex_);
    interval_ = std::max(interval, std::chrono::milliseconds(10));
}

void MotionFeed::SplitRecords(bool split) {
    std::lock_guard lock(mutex_);
    split_ = split;
}

std::chrono::milliseconds MotionFeed::Interval() const {
    std::lock_guard lock(mutex_);
    return interval_;
}

bool MotionFeed::Split() const {
    std::lock_guard lock(mutex_);
    return split_;
}

std::string MotionFeed::Record(const ParamDb& params) const {
    std::string lines;
    std::lock_guard lock(mutex_);
    for (const auto& [name, value] : params.GroupEntries("Motion")) {
        // "Motion.M<n>.WindowType"
        const std::string_view suffix = ".WindowType";
        if (name.size() <= suffix.size() + 8 ||
            !IEquals(std::string_view(name).substr(name.size() - suffix.size()), suffix) ||
            IEquals(value, "exclude"))
            continue;
        const std::string group = name.substr(0, name.size() - suffix.size());
        const auto number = ParseUint(std::string_view(group).substr(8));
        if (!number)
            continue;
        const unsigned window = static_cast<unsigned>(*number);
        // The window's trigger level follows its sensitivity, as on the camera.
        const auto sensitivity = ParseUint(params.Get(group + ".Sensitivity").value_or("90"));
        const unsigned threshold =
            100 - static_cast<unsigned>(std::min<uint64_t>(sensitivity.value_or(90), 100));
        const auto level = levels_.find(window);
        lines += "group=" + std::to_string(window) +
                 ";level=" + std::to_string(level == levels_.end() ? 0 : level->second) +
                 ";threshold=" + std::to_string(threshold) + ";\r\n";
    }
    if (lines.empty())
        return {};
    return "Content-Type: text/plain\r\n\r\n" + lines + kBoundaryLine;
}

MotionFeed& Simulator::Motion() {
    return impl_->motion;
}

void ServeMotionData(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn,
                     const Request& req) {
    if (impl.motion.Record(impl.params).empty()) {
        // What a camera without motion windows answers.
        bool keep = false;
        conn->Send(impl.HttpResponse(req, 204, "", "", "", &keep));
        if (!keep)
            conn->CloseAfterWrite();
        return;
    }
    conn->Send(
        "HTTP/1.0 200 OK\r\nCache-Control: no-cache\r\nPragma: no-cache\r\nConnection: close\r\n"
        "Content-Type: multipart/x-mixed-replace;boundary=axismdb\r\n\r\n" +
        std::string(kBoundaryLine));
    conn->mode = Connection::Mode::kStreaming;
    SendMotionRecord(conn, &impl, std::chrono::steady_clock::now());
}

}  // namespace camsim
