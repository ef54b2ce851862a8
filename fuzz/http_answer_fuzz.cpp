// Whole HTTP answers, as a device sends them, through the HTTP client the driver uses: status
// line, headers (lengths, chunked bodies, challenges that ask for another attempt), bodies read
// whole through the request helpers and read as a stream in pieces. A loopback peer in this
// process answers every connection with the input's bytes and closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "web/http_sender.h"
#include "web/request_utils.h"

namespace {

class AnsweringPeer {
  public:
    AnsweringPeer() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener_, 16) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            __builtin_trap();
        }
        port_ = ntohs(address.sin_port);
        std::thread([this] { Serve(); }).detach();  // lives as long as the process
    }
    uint16_t Port() const { return port_; }
    void SetAnswer(std::string answer) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(answer);
    }

  private:
    void Serve() {
        for (;;) {
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            ReadRequestHead(client);
            std::string answer;
            {
                std::lock_guard lock(mutex_);
                answer = answer_;
            }
            size_t sent = 0;
            while (sent < answer.size()) {
                const ssize_t n =
                    send(client, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    break;
                }
                sent += static_cast<size_t>(n);
            }
            shutdown(client, SHUT_WR);
            ReadRequestHead(client);  // until the client closes, so that no reset cuts the answer
            close(client);
        }
    }
    // Reads until the head's blank line, the client's close, or 200 ms of silence.
    static void ReadRequestHead(int client) {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            pollfd fd{client, POLLIN, 0};
            if (poll(&fd, 1, 200) <= 0) {
                return;
            }
            const ssize_t n = recv(client, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                return;
            }
            head.append(buffer, static_cast<size_t>(n));
        }
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::string answer_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static AnsweringPeer peer;
    peer.SetAnswer(std::string(reinterpret_cast<const char*>(data), size));
    vornak::DEVICE_INFO device;
    device.address = "127.0.0.1";
    device.port = peer.Port();
    device.userName = "root";
    device.password = "pass";

    // A whole answer, as parameter lists, PTZ and IO replies are read.
    Web::CHttpSender exchange(device, 1000);
    const HUtils::Reply reply =
        HUtils::Get(exchange, "/axis-cgi/admin/param.cgi?action=list", size_t{1} << 16);
    if (reply.bodyTooLong && !reply.body.empty()) {
        __builtin_trap();
    }
    (void)HUtils::FailureText(reply.status);

    // A stream, as motion JPEG, IO and motion data are read: in pieces while it lasts.
    Web::CHttpSender stream(device, 1000);
    if (stream.SendRequest(Web::MakeGetRequest("/axis-cgi/mjpg/video.cgi"))) {
        (void)stream.GetResponseHeader("Content-Type");
        std::vector<uint8_t> piece;
        size_t total = 0;
        for (int reads = 0; reads < 64; ++reads) {
            if (stream.WaitForData(100) == 0 && stream.IsResponseComplete()) {
                break;
            }
            const uint32_t n = stream.ReadData(piece, 1024, true);
            if (n == 0) {
                break;
            }
            total += n;
        }
        if (total > size) {
            __builtin_trap();  // nothing is invented
        }
        stream.Abort();
    }
    return 0;
}
