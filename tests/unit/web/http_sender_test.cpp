#include "web/http_sender.h"

#include <gtest/gtest.h>

#include <thread>

#include "unit/web/loopback_http_server.h"
#include "web/codec.h"
#include "web/request_utils.h"

namespace {

using testing_support::HttpRequestSeen;
using testing_support::LoopbackConnection;
using testing_support::LoopbackHttpServer;
using Web::CHttpSender;

vornak::DEVICE_INFO SenderDevice(uint16_t port, const char* user = "root",
                                 const char* password = "pass", uint32_t timeoutMs = 5000) {
    vornak::DEVICE_INFO device;
    device.address = "127.0.0.1";
    device.port = port;
    device.userName = user;
    device.password = password;
    device.networkTimeout = timeoutMs;
    return device;
}

std::string Text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// A device that checks Digest answers itself: realm "cam", password "pass", and a nonce that
// goes stale after the given number of uses.
class DigestDevice {
  public:
    explicit DigestDevice(int usesPerNonce = 1000, std::string password = "pass")
        : usesPerNonce_(usesPerNonce), password_(std::move(password)) {}

    void operator()(const HttpRequestSeen& request, LoopbackConnection& connection) {
        const std::string authorization = request.Header("Authorization");
        const std::string prefix = "Digest ";
        if (authorization.rfind(prefix, 0) != 0) {
            Challenge(connection, false);
            return;
        }
        const std::string params = authorization.substr(prefix.size());
        auto get = [&](const char* name) {
            return Web::CAuthentication::GetChallengeParameter(params, name);
        };
        const std::string ha1 = Web::MD5Hex(get("username") + ":cam:" + password_);
        const std::string ha2 = Web::MD5Hex(request.method + ":" + get("uri"));
        const std::string expected = Web::MD5Hex(ha1 + ":" + get("nonce") + ":" + get("nc") + ":" +
                                                 get("cnonce") + ":" + get("qop") + ":" + ha2);
        if (get("response") != expected || get("uri") != request.path) {
            Challenge(connection, false);
            return;
        }
        if (get("nonce") != nonce_ || ++uses_ > usesPerNonce_) {
            Challenge(connection, true);
            return;
        }
        connection.Send(LoopbackHttpServer::Response(200, "ok " + get("nc")));
    }

    std::string nonce_ = "n1";

  private:
    void Challenge(LoopbackConnection& connection, bool stale) {
        if (stale) {
            nonce_ += "x";
            uses_ = 0;
        }
        connection.Send(LoopbackHttpServer::Response(
            401, "",
            "WWW-Authenticate: Digest realm=\"cam\", nonce=\"" + nonce_ + "\", qop=\"auth\"" +
                (stale ? ", stale=true" : "") + "\r\n"));
    }

    int usesPerNonce_;
    int uses_ = 0;
    std::string password_;
};

// The Authorization scheme of every request a device saw ("-" for none), two SendRequest calls
// apart: credentials wait for a challenge, follow the scheme the device asked for, never go out
// as Basic after HTTPS failed, and a device without a usable answer costs 1 request (Basic) or
// 3 (Digest, whose nonce may have gone stale).
struct AuthCase {
    const char* why;
    bool digest;  // the device's scheme; it accepts root:pass
    const char* user;
    const char* password;
    uint32_t authType;
    bool httpsFirst;  // the device answers a TLS hello with plain HTTP
    const char* seen;
};

TEST(HttpSender, RequestsAndCredentialsPerScheme) {
    const AuthCase cases[] = {
        {"Basic once asked for, then at once", false, "root", "pass", 0, false, "- Basic|Basic"},
        {"wrong Basic password: no second try", false, "root", "x", 0, false, "- Basic|Basic"},
        {"Digest after the challenge", true, "root", "pass", 0, false, "- Digest|Digest"},
        {"wrong Digest password: 3 attempts", true, "root", "x", 0, false,
         "- Digest Digest|Digest Digest Digest"},
        {"no user, Basic device", false, "", "", 0, false, "-|-"},
        {"no user, Digest device", true, "", "", 0, false, "- - -|- - -"},
        {"type 5 sends nothing", true, "root", "pass", Web::kAuthNone, false, "- - -|- - -"},
        {"no Basic after HTTPS failed", false, "root", "pass", 0, true, "- -|-"},
        {"Digest after HTTPS failed", true, "root", "pass", 0, true, "- Digest|Digest"},
    };
    for (const AuthCase& c : cases) {
        DigestDevice digest;
        std::string seen;
        LoopbackHttpServer server([&](const HttpRequestSeen& r, LoopbackConnection& connection) {
            const std::string authorization = r.Header("Authorization");
            seen +=
                (seen.empty() || seen.back() == '|' ? "" : " ") +
                (authorization.empty() ? "-" : authorization.substr(0, authorization.find(' ')));
            if (c.digest) {
                digest(r, connection);
            } else if (authorization == "Basic " + Web::EncodeCredentials("root", "pass")) {
                connection.Send(LoopbackHttpServer::Response(200, "ok"));
            } else {
                connection.Send(LoopbackHttpServer::Response(
                    401, "no", "WWW-Authenticate: Basic realm=\"cam\"\r\n"));
            }
        });
        CHttpSender sender(SenderDevice(server.port(), c.user, c.password), "Agent");
        sender.SetUseHttps(c.httpsFirst);
        Web::HttpRequest request = Web::MakeGetRequest("/a");
        request.authType = c.authType;
        sender.SendRequest(request);
        seen += "|";
        sender.SendRequest(request);
        EXPECT_EQ(seen, c.seen) << c.why;
    }
}

// The nonce count goes on over requests on one connection, a stale nonce is renewed without the
// caller noticing (the count starts again), and the reset flag starts without credentials.
TEST(HttpSender, DigestCountStaleNonceAndReset) {
    DigestDevice device(2);
    LoopbackHttpServer server(std::ref(device));
    CHttpSender sender(SenderDevice(server.port()), "Agent");
    std::vector<uint8_t> body;
    for (const char* expected : {"ok 00000001", "ok 00000002", "ok 00000001"}) {
        ASSERT_TRUE(sender.SendRequest(Web::MakeGetRequest("/a?b=c")));
        sender.ReadResponse(body);
        EXPECT_EQ(Text(body), expected);
    }
    EXPECT_EQ(sender.GetChosenScheme(), Web::kAuthDigest);
    // First request without credentials, answered 401; Digest twice; stale, Digest again.
    EXPECT_EQ(server.requests().size(), 5u);
    EXPECT_EQ(server.connections(), 1);
    Web::HttpRequest request = Web::MakeGetRequest("/2");
    request.flags |= Web::kFlagResetAuth;
    ASSERT_TRUE(sender.SendRequest(request));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_EQ(requests[5].Header("Authorization"), "");
}

// A request sent without awaiting its answer, refused because its nonce went stale, goes once
// more under the fresh challenge; what the device answers to that is what the caller then sees.
TEST(HttpSender, UnawaitedRequestRefusedAsStaleGoesAgain) {
    DigestDevice device(1);
    LoopbackHttpServer server(std::ref(device));
    CHttpSender sender(SenderDevice(server.port()), "Agent");
    ASSERT_TRUE(sender.SendRequest(Web::MakeGetRequest("/a")));  // uses up nonce n1
    Web::HttpRequest post = Web::MakeGetRequest("/tunnel");
    post.verb = "POST";
    post.body = {'x'};
    post.flags |= Web::kFlagNoResponseWait;
    ASSERT_TRUE(sender.SendRequest(post));
    const auto outcome = [&](uint32_t attempt) -> std::string {
        for (int i = 0; i < 1000; ++i) {  // the answer is on its way: at most 5 s
            if (sender.ResendIfChallenged(post, attempt)) {
                return "sent again";
            }
            if (sender.GetStatusCode() != 0) {
                return std::to_string(sender.GetStatusCode());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return "no answer";
    };
    EXPECT_EQ(outcome(1), "sent again");
    EXPECT_EQ(outcome(2), "200");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(
        Web::CAuthentication::GetChallengeParameter(requests[3].Header("Authorization"), "nonce"),
        "n1x");
}

TEST(HttpSender, AuthenticationInfoNextNonceIsUsedByTheNextRequest) {
    int count = 0;
    std::vector<std::string> nonces;
    LoopbackHttpServer server([&](const HttpRequestSeen& r, LoopbackConnection& c) {
        const std::string authorization = r.Header("Authorization");
        if (authorization.rfind("Digest ", 0) != 0) {
            c.Send(LoopbackHttpServer::Response(
                401, "", "WWW-Authenticate: Digest realm=\"cam\", nonce=\"first\", qop=auth\r\n"));
            return;
        }
        nonces.push_back(
            Web::CAuthentication::GetChallengeParameter(authorization.substr(7), "nonce"));
        c.Send(LoopbackHttpServer::Response(
            200, "ok",
            "Authentication-Info: nextnonce=\"next" + std::to_string(++count) + "\"\r\n"));
    });
    CHttpSender sender(SenderDevice(server.port()), "Agent");
    ASSERT_TRUE(sender.SendRequest(Web::MakeGetRequest("/1")));
    ASSERT_TRUE(sender.SendRequest(Web::MakeGetRequest("/2")));
    EXPECT_EQ(nonces, (std::vector<std::string>{"first", "next1"}));
    EXPECT_EQ(sender.GetAuthentication().GetNonceCount(), 0u);
}

// Every outcome of a request as the helpers report it, on one sender; "/close" ends the
// connection without an answer.
TEST(RequestHelpers, ClassifyEveryOutcome) {
    LoopbackHttpServer server([](const HttpRequestSeen& r, LoopbackConnection& c) {
        if (r.path == "/ok") {
            c.Send(LoopbackHttpServer::Response(200, "body"));
        } else if (r.path == "/empty") {
            c.Send(LoopbackHttpServer::Response(200, ""));
        } else if (r.path == "/nocontent") {
            c.Send("HTTP/1.1 204 No Content\r\n\r\n");
        } else if (r.path == "/missing") {
            c.Send(LoopbackHttpServer::Response(404, "nf"));
        } else if (r.path == "/login") {
            c.Send(LoopbackHttpServer::Response(401, "no",
                                                "WWW-Authenticate: Basic realm=\"cam\"\r\n"));
        } else if (r.path == "/close") {
            c.Close();
        } else {
            c.Send(LoopbackHttpServer::Response(500, "err"));
        }
    });
    CHttpSender sender(SenderDevice(server.port()), "Agent");
    const std::string device = "device 127.0.0.1:" + std::to_string(server.port());
    struct Row {
        const char* path;
        uint32_t level;
        uint32_t code;
        std::string message;  // after "vornak::HUtils::RequestGetRD: "
        const char* body;
        const char* errorText;  // of RequestGetMessage, which succeeds when there is none
    };
    const Row rows[] = {
        {"/ok", 3, 0, "", "body", ""},
        {"/empty", 2, 12, "Incorrect response for request \"/empty\" from " + device, "", ""},
        {"/nocontent", 2, 12, "Incorrect response for request \"/nocontent\" from " + device, "",
         ""},
        {"/missing", 1, 9, "The \"/missing\" URL was not found on " + device, "",
         "The device returns 404 status code."},
        {"/fail", 1, 8, device + " is unable to process \"/fail\" request. HTTP status code is 500",
         "", "The device returns 500 status code."},
        {"/login", 1, 10,
         device + " is unable to process \"/login\" request: credentials are invalid", "",
         "Invalid username/password."},
        {"/close", 4, 11, "Cannot send request \"/close\" to " + device, "",
         "There is a network error or the device is offline."},
    };
    for (const Row& row : rows) {
        std::string body = "stale";
        const vornak::CResultDef result = HUtils::RequestGetRD(sender, row.path, body);
        EXPECT_EQ(result.GetLevel(), row.level) << row.path;
        EXPECT_EQ(result.GetCode(), row.code) << row.path;
        EXPECT_EQ(result.GetMessage(),
                  row.message.empty() ? "" : "vornak::HUtils::RequestGetRD: " + row.message)
            << row.path;
        EXPECT_EQ(body, row.body) << row.path;
        std::string error = "stale";
        EXPECT_EQ(HUtils::RequestGetMessage(sender, row.path, true, error), *row.errorText == 0)
            << row.path;
        EXPECT_EQ(error, row.errorText) << row.path;
        EXPECT_EQ(server.requests().back().Header("Content-Type"), "text/html; charset=utf-8");
    }
    EXPECT_FALSE(sender.SendRequest(Web::MakeGetRequest("/login")));
    EXPECT_EQ(sender.GetStatusCode(), 401u);
    // Any request, with status and body in one answer; a limit turns a longer body away.
    Web::HttpRequest post = Web::MakeGetRequest("/ok");
    post.verb = "POST";
    post.body = {'x', '=', '1'};
    const HUtils::Reply reply = HUtils::Exchange(sender, post, 4);
    EXPECT_TRUE(reply.answered && reply.Ok() && !reply.bodyTooLong);
    EXPECT_EQ(reply.body, "body");
    EXPECT_EQ(server.requests().back().body, "x=1");
    const HUtils::Reply longer = HUtils::Get(sender, "/ok", 3);
    EXPECT_TRUE(longer.bodyTooLong && longer.body.empty());
}

// Without a length the body is read to the end of the stream, but no further than 1 MiB.
TEST(HttpSender, BodyWithoutLengthIsReadToTheEndOrOneMebibyte) {
    LoopbackHttpServer server([](const HttpRequestSeen& r, LoopbackConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n");
        const std::string block(r.path == "/long" ? 65536 : 20000, 'a');
        for (int i = 0; i < (r.path == "/long" ? 40 : 1) && c.Send(block); ++i) {
        }
        c.Send("end");
        c.Close();
    });
    CHttpSender sender(SenderDevice(server.port()), "Agent");
    ASSERT_TRUE(sender.SendRequest(Web::MakeGetRequest("/")));
    EXPECT_EQ(sender.GetContentLength(), 0u);
    EXPECT_EQ(sender.GetResponseHeader("content-type"), "text/plain");
    std::vector<uint8_t> body;
    EXPECT_EQ(sender.ReadResponse(body), 20003u);
    EXPECT_EQ(Text(body).substr(19998), "aaend");
    CHttpSender longer(SenderDevice(server.port()), "Agent");
    ASSERT_TRUE(longer.SendRequest(Web::MakeGetRequest("/long")));
    EXPECT_EQ(longer.ReadResponse(body), CHttpSender::kUnknownLengthBudget);
}

TEST(HttpSender, EndlessStreamIsReadPiecewiseAndAbortEndsABlockedRead) {
    LoopbackHttpServer server([](const HttpRequestSeen&, LoopbackConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace\r\n\r\n");
        c.Send(std::string(1000, 'f'));
        c.Stall();  // then nothing more, connection kept open
    });
    CHttpSender sender(SenderDevice(server.port(), "root", "pass", 60000), "Agent");
    ASSERT_TRUE(sender.SendRequest(Web::MakeGetRequest("/mjpg")));
    std::vector<uint8_t> data;
    size_t total = 0;
    while (total < 1000) {
        const uint32_t n = sender.ReadData(data, 300, true);
        ASSERT_GT(n, 0u);
        ASSERT_LE(n, 300u);
        total += n;
    }
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sender.Abort();
    });
    // Blocks (the limit is a minute) until the other thread aborts.
    EXPECT_EQ(sender.ReadData(data, 300, true), 0u);
    aborter.join();
    EXPECT_EQ(sender.GetLastErrorCode(), Web::kErrorOperationCancelled);
    EXPECT_EQ(sender.ReadData(data, 300, true), 0u) << "the request is closed";
}

// A device that accepts and never answers: the time-out, an abort from another thread and a
// cancel event set beforehand each end the request, and say which it was.
TEST(HttpSender, SilentDeviceEndsByTimeoutAbortOrCancel) {
    LoopbackHttpServer server([](const HttpRequestSeen&, LoopbackConnection& c) { c.Stall(); });
    CHttpSender timed(SenderDevice(server.port(), "root", "pass", 200), "Agent");
    EXPECT_FALSE(timed.SendRequest(Web::MakeGetRequest("/")));
    EXPECT_EQ(timed.GetLastErrorCode(), Web::kErrorTimeout);
    EXPECT_EQ(server.connections(), 1) << "a time-out is not retried with the other scheme";

    CHttpSender aborted(SenderDevice(server.port(), "root", "pass", 60000), "Agent");
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        aborted.Abort();
    });
    EXPECT_FALSE(aborted.SendRequest(Web::MakeGetRequest("/")));
    aborter.join();
    EXPECT_EQ(aborted.GetLastErrorCode(), Web::kErrorOperationCancelled);
    EXPECT_EQ(aborted.GetStatusCode(), 0u);

    CHttpSender cancelled(SenderDevice(server.port(), "root", "pass", 60000), "Agent");
    vornak::CManualEvent stop;
    cancelled.SetCancelEvent(&stop);
    stop.Set();
    EXPECT_FALSE(cancelled.SendRequest(Web::MakeGetRequest("/")));
    EXPECT_EQ(cancelled.GetLastErrorCode(), Web::kErrorOperationCancelled);
}

TEST(HttpSender, StreamedUploadThenResponse) {
    LoopbackHttpServer server(
        [](const HttpRequestSeen& r, LoopbackConnection& c) {
            std::string body;
            if (!c.ReadExact(r.contentLength, body)) {
                c.Close();
                return;
            }
            c.Send(LoopbackHttpServer::Response(
                200, std::to_string(body.size()) + " " + body.substr(0, 3) + body.substr(997)));
        },
        false);
    CHttpSender sender(SenderDevice(server.port()), "Vornak HTTP Audio Sender");
    Web::HttpRequest request;
    request.verb = "POST";
    request.path = "/axis-cgi/audio/transmit.cgi";
    request.body = {'a', 'b', 'c'};
    request.totalLength = 1000;
    request.headers = {"Content-Type: audio/basic"};
    ASSERT_TRUE(sender.SendRequest(request));
    const std::vector<uint8_t> chunk(497, 'm');
    EXPECT_TRUE(sender.WriteData(chunk));
    std::vector<uint8_t> last(497, 'm');
    last.insert(last.end(), {'x', 'y', 'z'});
    EXPECT_FALSE(sender.WriteData(std::vector<uint8_t>(501, 'o'))) << "more than announced";
    EXPECT_TRUE(sender.WriteData(last));
    ASSERT_TRUE(sender.ReceiveResponse());
    EXPECT_EQ(sender.GetStatusCode(), 200u);
    std::vector<uint8_t> body;
    sender.ReadResponse(body);
    EXPECT_EQ(Text(body), "1000 abcxyz");
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Header("Content-Type"), "audio/basic");
    EXPECT_EQ(seen[0].Header("Expect"), "");
}

TEST(HttpSender, HttpsStartFallsBackToHttpAndStaysThere) {
    LoopbackHttpServer server([](const HttpRequestSeen&, LoopbackConnection& c) {
        c.Send(LoopbackHttpServer::Response(200, "plain"));
    });
    CHttpSender sender(SenderDevice(server.port()), "Agent");
    EXPECT_FALSE(sender.IsUsingHttps());
    sender.SetUseHttps(true);
    ASSERT_TRUE(sender.SendRequest(Web::MakeGetRequest("/")));
    EXPECT_FALSE(sender.IsUsingHttps());
    ASSERT_TRUE(sender.SendRequest(Web::MakeGetRequest("/")));
    EXPECT_EQ(server.connections(), 2) << "one refused TLS hello, then one plain connection";
    vornak::DEVICE_INFO device = SenderDevice(443);
    EXPECT_TRUE(CHttpSender(device, "Agent").IsUsingHttps());
    device.port = 8443;
    EXPECT_FALSE(CHttpSender(device, "Agent").IsUsingHttps());
}

// Bad requests are refused before anything goes out; unsafe bytes of a good one are escaped.
TEST(HttpSender, RefusesBadRequestsAndEscapesUnsafeBytes) {
    LoopbackHttpServer server([](const HttpRequestSeen&, LoopbackConnection& c) {
        c.Send(LoopbackHttpServer::Response(200, "x"));
    });
    CHttpSender sender(SenderDevice(server.port()), "Agent");
    Web::HttpRequest noVerb = Web::MakeGetRequest("/");
    noVerb.verb.clear();
    EXPECT_FALSE(sender.SendRequest(noVerb));
    EXPECT_FALSE(sender.SendRequest(Web::MakeGetRequest("")));
    Web::HttpRequest injected = Web::MakeGetRequest("/");
    injected.headers = {"X-A: 1\r\nX-B: 2"};
    EXPECT_FALSE(sender.SendRequest(injected));
    std::string error;
    EXPECT_FALSE(HUtils::RequestGetMessage(sender, "", error));
    EXPECT_EQ(error, "Url is empty");
    EXPECT_EQ(server.connections(), 0);
    CHttpSender nobody(SenderDevice(testing_support::UnusedLoopbackPort()), 2000);
    EXPECT_FALSE(nobody.SendRequest(Web::MakeGetRequest("/")));
    EXPECT_EQ(nobody.GetLastErrorCode(), Web::kErrorCannotConnect);
    std::vector<uint8_t> data;
    EXPECT_EQ(sender.ReadData(data, 100, true), 0u) << "no open request";
    ASSERT_TRUE(sender.SendRequest(Web::MakeGetRequest("/a b?c=d e&f=\"g\"")));
    EXPECT_EQ(server.requests().at(0).path, "/a%20b?c=d%20e&f=%22g%22");
}

// A fast sender and a slow reader: the sender stops taking bytes from the socket while its
// buffer is full and must neither lose nor reorder any on the way.
TEST(HttpSender, SlowReaderGetsEveryByteInOrder) {
    constexpr size_t kTotal = 3 * 1024 * 1024 + 123;
    auto pattern = [](size_t i) { return static_cast<char>('a' + (i * 7 + i / 251) % 26); };
    LoopbackHttpServer server([&](const HttpRequestSeen&, LoopbackConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\n\r\n");
        std::string block;
        for (size_t sent = 0; sent < kTotal; sent += block.size()) {
            block.clear();
            for (size_t i = sent; i < std::min(kTotal, sent + 100000); ++i) {
                block.push_back(pattern(i));
            }
            if (!c.Send(block)) {
                break;
            }
        }
        c.Close();
    });
    CHttpSender sender(SenderDevice(server.port()), "Agent");
    ASSERT_TRUE(sender.SendRequest(Web::MakeGetRequest("/stream")));
    std::vector<uint8_t> piece;
    size_t received = 0;
    size_t footprint = 0;
    bool inOrder = true;
    for (int reads = 0; reads < 100000; ++reads) {
        if (reads == 10) {
            // Let the buffer fill up while nobody reads.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_GT(sender.QueryDataAvailable(), 0u);
        }
        const uint32_t n = sender.ReadData(piece, 4000, true);
        if (n == 0) {
            break;
        }
        for (uint32_t i = 0; i < n; ++i) {
            inOrder = inOrder && static_cast<char>(piece[i]) == pattern(received + i);
        }
        received += n;
        footprint = std::max(footprint, sender.GetBufferFootprint());
    }
    EXPECT_EQ(received, kTotal);
    EXPECT_TRUE(inOrder);
    EXPECT_LT(footprint, 1024u * 1024u) << "read bytes are dropped from the buffer";
}

}  // namespace
