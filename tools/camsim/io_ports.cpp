// Ports are numbered from 1 in the requests and from 0 inside the monitor stream, as on the
// device. Every monitor connection gets the current state of its ports in its first part and
// one part per change after that.
#include "io_ports.h"

#include <deque>
#include <future>

namespace camsim {

// Monitor parts waiting for their turn: a part cut in two must not let a later part overtake
// its second half.
struct IoOutbox {
    std::deque<std::string> pieces;
    bool busy = false;
};

struct IoPorts {
    struct Monitor {
        std::weak_ptr<Connection> conn;
        std::vector<int> ports;
        std::shared_ptr<IoOutbox> outbox;
    };
    std::mutex mutex;  // states and options; tests read them from their own threads
    std::map<int, bool> inputs;
    std::map<int, bool> outputs;
    bool split_records = false;
    std::vector<Monitor> monitors;  // I/O thread only
};

namespace {

constexpr const char* kIoPartHead = "--ioboundary\r\nContent-Type: text/plain\r\n\r\n";

IoPorts& IoPortsOf(Simulator::Impl& impl) {
    std::lock_guard lock(impl.mutex);
    if (!impl.io_ports)
        impl.io_ports = std::make_shared<IoPorts>();
    return *impl.io_ports;
}

int IoPortCount(Simulator::Impl& impl, const char* name) {
    auto value = ParseUint(impl.params.Get(name).value_or("0"));
    return static_cast<int>(std::min<uint64_t>(value.value_or(0), 64));
}

// "1,2" → {1, 2}; empty when a number is not a port of the device.
std::vector<int> IoPortList(const std::string& text, int count) {
    std::vector<int> ports;
    for (std::string_view item : Split(text, ',')) {
        auto n = ParseUint(item);
        if (!n || *n < 1 || *n > static_cast<uint64_t>(count))
            return {};
        ports.push_back(static_cast<int>(*n));
    }
    return ports;
}

void DrainIoOutbox(const std::shared_ptr<Connection>& conn, const std::shared_ptr<IoOutbox>& box) {
    if (box->pieces.empty() || conn->Closed()) {
        box->busy = false;
        return;
    }
    box->busy = true;
    conn->Send(std::move(box->pieces.front()));
    box->pieces.pop_front();
    auto timer = std::make_shared<asio::steady_timer>(conn->Timer().get_executor());
    timer->expires_after(std::chrono::milliseconds(50));
    timer->async_wait([conn, box, timer](asio::error_code) { DrainIoOutbox(conn, box); });
}

// A part, optionally cut after the first record's colon and sent as two TCP segments.
void SendIoPart(const std::shared_ptr<Connection>& conn, const std::shared_ptr<IoOutbox>& box,
                const std::string& records, bool split) {
    const std::string part = kIoPartHead + records;
    const size_t cut = part.find(':', std::string_view(kIoPartHead).size());
    if (!split || cut == std::string::npos) {
        box->pieces.push_back(part);
    } else {
        box->pieces.push_back(part.substr(0, cut + 1));
        box->pieces.push_back(part.substr(cut + 1));
    }
    if (!box->busy)
        DrainIoOutbox(conn, box);
}

std::string IoRecord(int port, char c) {
    return "IO" + std::to_string(port - 1) + ":" + c + "\r\n";
}

}  // namespace

void IoInputCgi(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn, const Request& req,
                const QueryArgs& args) {
    IoPorts& io = IoPortsOf(impl);
    const int count = IoPortCount(impl, "Input.NbrOfInputs");
    bool keep = false;
    auto check = FindArg(args, "check");
    auto monitor = FindArg(args, "monitor");
    std::vector<int> ports = IoPortList(check ? *check : monitor.value_or(""), count);
    if (ports.empty()) {
        conn->Send(impl.HttpResponse(req, 400, "text/plain", "Error: invalid port\r\n", "", &keep));
        if (!keep)
            conn->CloseAfterWrite();
        return;
    }
    std::lock_guard lock(io.mutex);
    if (check) {
        std::string body;
        for (int port : ports)
            body += "input" + std::to_string(port) + "=" + (io.inputs[port] ? "1" : "0") + "\r\n";
        conn->Send(impl.HttpResponse(req, 200, "text/plain", body, "", &keep));
        if (!keep)
            conn->CloseAfterWrite();
        return;
    }
    conn->Send(
        "HTTP/1.0 200 OK\r\nConnection: close\r\n"
        "Content-Type: multipart/x-mixed-replace;boundary=ioboundary\r\n\r\n");
    conn->mode = Connection::Mode::kStreaming;
    std::string records;
    for (int port : ports)
        records += IoRecord(port, io.inputs[port] ? 'H' : 'L');
    auto outbox = std::make_shared<IoOutbox>();
    SendIoPart(conn, outbox, records, io.split_records);
    io.monitors.push_back({conn, ports, outbox});
}

void IoOutputCgi(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn, const Request& req,
                 const QueryArgs& args) {
    IoPorts& io = IoPortsOf(impl);
    // "action=<port>:<sequence>"; only the plain switches "/" and "\" are simulated.
    const std::string action = FindArg(args, "action").value_or("");
    const size_t colon = action.find(':');
    auto port = ParseUint(std::string_view(action).substr(0, colon));
    const std::string sequence = colon == std::string::npos ? "" : action.substr(colon + 1);
    bool keep = false;
    if (!port || *port < 1 ||
        *port > static_cast<uint64_t>(IoPortCount(impl, "Output.NbrOfOutputs")) ||
        (sequence != "/" && sequence != "\\")) {
        conn->Send(
            impl.HttpResponse(req, 400, "text/plain", "Error: invalid action\r\n", "", &keep));
    } else {
        {
            std::lock_guard lock(io.mutex);
            io.outputs[static_cast<int>(*port)] = sequence == "/";
        }
        conn->Send(impl.HttpResponse(req, 200, "text/plain", "OK\r\n", "", &keep));
    }
    if (!keep)
        conn->CloseAfterWrite();
}

void Simulator::SetInput(int port, bool active) {
    Impl& d = *impl_;
    IoPorts& io = IoPortsOf(d);
    if (d.threads.empty()) {
        std::lock_guard lock(io.mutex);
        io.inputs[port] = active;
        return;
    }
    std::promise<void> done;
    asio::post(d.io, [&d, &io, &done, port, active] {
        std::lock_guard lock(io.mutex);
        const bool changed = io.inputs[port] != active;
        io.inputs[port] = active;
        auto& monitors = io.monitors;
        monitors.erase(std::remove_if(monitors.begin(), monitors.end(),
                                      [](const IoPorts::Monitor& m) {
                                          auto c = m.conn.lock();
                                          return !c || c->Closed();
                                      }),
                       monitors.end());
        for (const auto& m : monitors) {
            if (changed && std::find(m.ports.begin(), m.ports.end(), port) != m.ports.end())
                SendIoPart(m.conn.lock(), m.outbox, IoRecord(port, active ? '/' : '\\'),
                           io.split_records);
        }
        done.set_value();
    });
    done.get_future().wait();
}

bool Simulator::OutputActive(int port) const {
    IoPorts& io = IoPortsOf(*impl_);
    std::lock_guard lock(io.mutex);
    auto it = io.outputs.find(port);
    return it != io.outputs.end() && it->second;
}

void Simulator::SplitIoRecords(bool split) {
    IoPorts& io = IoPortsOf(*impl_);
    std::lock_guard lock(io.mutex);
    io.split_records = split;
}

}  // namespace camsim
