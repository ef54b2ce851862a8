// The least a receiver of one RTSP stream can do: set the stream up, then take the RTP packets
// off the socket in as few calls as the kernel allows and throw them away. The peer comparison
// runs it beside the real receivers to show what the kernel and the loopback cost on their own.
//   floor_receiver --url rtsp://[user:pass@]127.0.0.1:PORT/path --transport udp|tcp --seconds S
// Prints one line: packets, bytes, frames (RTP marker bits) and sequence gaps.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Url {
    std::string host, port = "554", path, user, password;
};

bool ParseUrl(const std::string& text, Url& url) {
    const std::string scheme = "rtsp://";
    if (text.rfind(scheme, 0) != 0) {
        return false;
    }
    std::string rest = text.substr(scheme.size());
    const size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    url.path = slash == std::string::npos ? "/" : rest.substr(slash);
    if (const size_t at = authority.rfind('@'); at != std::string::npos) {
        const std::string credentials = authority.substr(0, at);
        authority = authority.substr(at + 1);
        const size_t colon = credentials.find(':');
        url.user = credentials.substr(0, colon);
        url.password = colon == std::string::npos ? "" : credentials.substr(colon + 1);
    }
    const size_t colon = authority.rfind(':');
    url.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
        url.port = authority.substr(colon + 1);
    }
    return !url.host.empty();
}

std::string Base64(const std::string& in) {
    static const char* kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (unsigned char c : in) {
        bits = (bits << 8) | c;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out += kDigits[(bits >> count) & 63];
        }
    }
    if (count > 0) {
        out += kDigits[(bits << (6 - count)) & 63];
    }
    while (out.size() % 4 != 0) {
        out += '=';
    }
    return out;
}

std::string HeaderValue(const std::string& response, const std::string& name) {
    size_t pos = 0;
    while ((pos = response.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        if (strncasecmp(response.c_str() + pos, name.c_str(), name.size()) == 0 &&
            response[pos + name.size()] == ':') {
            size_t start = pos + name.size() + 1;
            while (start < response.size() && response[start] == ' ') {
                ++start;
            }
            return response.substr(start, response.find("\r\n", start) - start);
        }
    }
    return "";
}

class Rtsp {
  public:
    Rtsp(int fd, const Url& url) : fd_(fd) {
        if (!url.user.empty()) {
            auth_ = "Authorization: Basic " + Base64(url.user + ":" + url.password) + "\r\n";
        }
    }
    // Sends a request and reads its answer (headers and body); empty on a failure.
    std::string Request(const std::string& method, const std::string& uri,
                        const std::string& headers) {
        const std::string text = method + " " + uri +
                                 " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) + "\r\n" + auth_ +
                                 headers + "\r\n";
        if (send(fd_, text.data(), text.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(text.size())) {
            return "";
        }
        std::string answer;
        char buffer[4096];
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            const size_t end = answer.find("\r\n\r\n");
            if (end != std::string::npos) {
                const size_t body =
                    std::strtoul(HeaderValue(answer, "Content-Length").c_str(), nullptr, 10);
                if (answer.size() >= end + 4 + body) {
                    return answer.substr(0, end + 4 + body);
                }
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) {
                continue;
            }
            const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                return "";
            }
            answer.append(buffer, static_cast<size_t>(n));
        }
        return "";
    }

  private:
    int fd_;
    std::string auth_;
    int cseq_ = 0;
};

bool Ok(const std::string& answer, const char* step) {
    if (answer.rfind("RTSP/1.0 200", 0) == 0) {
        return true;
    }
    std::fprintf(stderr, "floor_receiver: %s failed: %s\n", step,
                 answer.empty() ? "no answer" : answer.substr(0, answer.find("\r\n")).c_str());
    return false;
}

// URL of the first video track, from the SDP's control attribute (absolute or relative).
std::string VideoTrack(const std::string& describe, const std::string& base) {
    const size_t video = describe.find("m=video");
    if (video == std::string::npos) {
        return "";
    }
    const size_t control = describe.find("a=control:", video);
    const size_t next = describe.find("\nm=", video + 1);
    if (control == std::string::npos || (next != std::string::npos && control > next)) {
        return base;
    }
    std::string value =
        describe.substr(control + 10, describe.find_first_of("\r\n", control) - control - 10);
    if (value.rfind("rtsp://", 0) == 0) {
        return value;
    }
    return base + (base.back() == '/' ? "" : "/") + value;
}

struct Counts {
    uint64_t packets = 0, bytes = 0, frames = 0, gaps = 0;
    bool haveSeq = false;
    uint16_t nextSeq = 0;

    void Packet(const uint8_t* data, size_t size) {
        ++packets;
        bytes += size;
        if (size < 12) {
            return;
        }
        frames += data[1] >> 7;
        const uint16_t seq = static_cast<uint16_t>((data[2] << 8) | data[3]);
        if (haveSeq && seq != nextSeq) {
            ++gaps;
        }
        haveSeq = true;
        nextSeq = static_cast<uint16_t>(seq + 1);
    }
};

int BindUdpPair(int fds[2]) {
    for (int attempt = 0; attempt < 64; ++attempt) {
        fds[0] = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (bind(fds[0], reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
            getsockname(fds[0], reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            close(fds[0]);
            return -1;
        }
        const int port = ntohs(a.sin_port);
        fds[1] = socket(AF_INET, SOCK_DGRAM, 0);
        a.sin_port = htons(static_cast<uint16_t>(port + 1));
        if (port % 2 == 0 && bind(fds[1], reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
            return port;
        }
        close(fds[0]);
        close(fds[1]);
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string urlText, transport = "udp";
    double seconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--url") {
            urlText = argv[i + 1];
        } else if (key == "--transport") {
            transport = argv[i + 1];
        } else if (key == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        }
    }
    Url url;
    if (!ParseUrl(urlText, url) || (transport != "udp" && transport != "tcp") || seconds <= 0 ||
        seconds > 3600) {
        std::fprintf(stderr,
                     "usage: floor_receiver --url rtsp://[user:pass@]HOST:PORT/PATH "
                     "--transport udp|tcp --seconds S (at most 3600)\n");
        return 2;
    }
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &found) != 0 || !found) {
        std::fprintf(stderr, "floor_receiver: cannot resolve %s\n", url.host.c_str());
        return 1;
    }
    const int control = socket(found->ai_family, SOCK_STREAM, 0);
    const bool connected = connect(control, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (!connected) {
        std::fprintf(stderr, "floor_receiver: cannot connect: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string base = "rtsp://" + url.host + ":" + url.port + url.path;
    Rtsp rtsp(control, url);
    const std::string describe = rtsp.Request("DESCRIBE", base, "Accept: application/sdp\r\n");
    if (!Ok(describe, "DESCRIBE")) {
        return 1;
    }
    std::string contentBase = HeaderValue(describe, "Content-Base");
    if (contentBase.empty()) {
        contentBase = base;
    }
    const std::string track = VideoTrack(describe, contentBase);
    int udp[2] = {-1, -1};
    std::string transportHeader = "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";
    if (transport == "udp") {
        const int port = BindUdpPair(udp);
        if (port < 0) {
            std::fprintf(stderr, "floor_receiver: no UDP port pair\n");
            return 1;
        }
        // Room for a key frame's burst while this process waits for the CPU.
        const int size = 4 << 20;
        setsockopt(udp[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        transportHeader = "Transport: RTP/AVP;unicast;client_port=" + std::to_string(port) + "-" +
                          std::to_string(port + 1) + "\r\n";
    }
    const std::string setup = rtsp.Request("SETUP", track, transportHeader);
    if (!Ok(setup, "SETUP")) {
        return 1;
    }
    std::string session = HeaderValue(setup, "Session");
    session = "Session: " + session.substr(0, session.find(';')) + "\r\n";
    if (!Ok(rtsp.Request("PLAY", contentBase, session + "Range: npt=0.000-\r\n"), "PLAY")) {
        return 1;
    }

    Counts counts;
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto nextKeepAlive = start + std::chrono::seconds(20);
    constexpr int kBatch = 64;
    std::vector<uint8_t> storage(transport == "udp" ? kBatch * 2048 : 256 * 1024);
    mmsghdr messages[kBatch] = {};
    iovec vectors[kBatch];
    for (int i = 0; i < kBatch && transport == "udp"; ++i) {
        vectors[i] = {storage.data() + i * 2048, 2048};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    // Interleaved stream: bytes still to skip of the current '$' frame, and its header so far.
    size_t skip = 0;
    uint8_t header[4];
    size_t headerHave = 0;
    std::vector<uint8_t> packet;
    bool inPacket = false;
    std::string text;  // an RTSP answer between frames (keep-alive)
    bool failed = false;
    while (!failed && Clock::now() < end) {
        if (Clock::now() >= nextKeepAlive) {
            // Sent blind: over UDP the answer is read and dropped below; over TCP it is skipped.
            const std::string ping =
                "GET_PARAMETER " + contentBase + " RTSP/1.0\r\nCSeq: 99\r\n" + session + "\r\n";
            send(control, ping.data(), ping.size(), MSG_NOSIGNAL);
            nextKeepAlive += std::chrono::seconds(20);
        }
        pollfd p[3] = {{control, POLLIN, 0}, {udp[0], POLLIN, 0}, {udp[1], POLLIN, 0}};
        const int nfds = transport == "udp" ? 3 : 1;
        if (poll(p, nfds, 100) <= 0) {
            continue;
        }
        if (transport == "udp") {
            if (p[1].revents & POLLIN) {
                int got;
                do {
                    got = recvmmsg(udp[0], messages, kBatch, MSG_DONTWAIT, nullptr);
                    for (int i = 0; i < got; ++i) {
                        counts.Packet(storage.data() + i * 2048, messages[i].msg_len);
                    }
                } while (got == kBatch);
            }
            for (int i : {0, 2}) {
                if (p[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                    const ssize_t n = recv(i == 0 ? control : udp[1], storage.data(), 2048, 0);
                    failed = i == 0 && n <= 0;
                }
            }
            continue;
        }
        const ssize_t n = recv(control, storage.data(), storage.size(), 0);
        if (n <= 0) {
            failed = true;
            break;
        }
        // Walks the '$' framing; the packet's first bytes are kept only to read its header.
        for (size_t i = 0; i < static_cast<size_t>(n);) {
            if (skip > 0) {
                const size_t take = std::min(skip, static_cast<size_t>(n) - i);
                if (inPacket && packet.size() < 4) {
                    packet.insert(packet.end(), storage.data() + i,
                                  storage.data() + i + std::min<size_t>(take, 4 - packet.size()));
                }
                i += take;
                skip -= take;
                if (skip == 0 && inPacket) {
                    if (header[1] == 0 && packet.size() >= 4) {
                        packet.resize(12, 0);
                        counts.Packet(packet.data(), (header[2] << 8) | header[3]);
                    }
                    inPacket = false;
                }
                continue;
            }
            if (headerHave > 0 || storage[i] == '$') {
                header[headerHave++] = storage[i++];
                if (headerHave == 4) {
                    headerHave = 0;
                    skip = (header[2] << 8) | header[3];
                    inPacket = true;
                    packet.clear();
                }
                continue;
            }
            // An RTSP answer: skip its text up to the blank line.
            text += static_cast<char>(storage[i++]);
            if (text.size() >= 4 && text.compare(text.size() - 4, 4, "\r\n\r\n") == 0) {
                text.clear();
            }
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    rtsp.Request("TEARDOWN", contentBase, session);
    close(control);
    for (int fd : udp) {
        if (fd >= 0) {
            close(fd);
        }
    }
    std::printf("floor %s packets %llu bytes %llu frames %llu gaps %llu seconds %.2f%s\n",
                transport.c_str(), static_cast<unsigned long long>(counts.packets),
                static_cast<unsigned long long>(counts.bytes),
                static_cast<unsigned long long>(counts.frames),
                static_cast<unsigned long long>(counts.gaps), elapsed,
                failed ? " (camera closed the connection)" : "");
    return failed ? 1 : 0;
}
