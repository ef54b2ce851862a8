// The HTTP sender against lighttpd: Basic and Digest authentication, a chunked body, HTTPS with a
// certificate made here, and tinyproxy in between; and the capability query through the library's
// entry points, where a static parameter listing stands in for the camera (every group request
// gets the whole listing, as a camera answering a list of all groups would).
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <memory>

#include "capability_report.h"
#include "driver/device_info.h"
#include "host_objects.h"
#include "interop/peers.h"
#include "loopback_port.h"
#include "web/http_sender.h"
#include "web/request_utils.h"

namespace {

using interop::PeerProcess;
using Web::CHttpSender;
using Result = quillon::host::CapabilityRecorder;
using Notify = quillon::host::CapabilityNotify;

constexpr const char* kChunkedCgi =
    "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
    "printf 'part1-'\n"
    "sleep 0.2\n"
    "printf 'part2'\n";

constexpr const char* kListing =
    "root.Brand.Brand=AXIS\n"
    "root.Brand.ProdFullName=AXIS P1346 Network Camera\n"
    "root.Properties.API.HTTP.Version=3\n"
    "root.Properties.Firmware.Version=5.60.1\n"
    "root.Properties.Image.Format=jpeg,mjpeg,h264\n"
    "root.Properties.Image.Resolution=2048x1536,1280x720,640x480\n"
    "root.Properties.Audio.Audio=yes\n"
    "root.Properties.Audio.Format=g711,aac\n"
    "root.ImageSource.NbrOfSources=1\n"
    "root.ImageSource.I0.CaptureFrequency=60Hz\n"
    "root.Image.I0.RateControl.MaxFPS=20\n"
    "root.Input.NbrOfInputs=1\n"
    "root.Output.NbrOfOutputs=1\n"
    "root.AudioSource.NbrOfSources=1\n";

class Lighttpd : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (interop::FindProgram("lighttpd").empty() || interop::FindProgram("openssl").empty()) {
            return;
        }
        dir_ = std::make_unique<interop::TempDir>();
        const std::string root = dir_->path();
        dir_->Write("www/protected/index.txt", "hello\n");
        dir_->Write("www/basic/index.txt", "basic\n");
        dir_->Write("www/chunk.sh", kChunkedCgi);
        dir_->Write("www/axis-cgi/admin/param.cgi", kListing);
        dir_->Write("users", "root:secret\n");
        tlsReady_ = interop::RunTool({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                      "-keyout", root + "/key.pem", "-out", root + "/cert.pem",
                                      "-days", "1", "-subj", "/CN=camera"},
                                     60)
                        .exit_code == 0;

        plainPort_ = testing_support::UnusedLoopbackPort();
        tlsPort_ = testing_support::UnusedLoopbackPort();
        const std::string common =
            "server.document-root = \"" + root +
            "/www\"\n"
            "server.bind = \"127.0.0.1\"\n"
            "server.stream-response-body = 2\n"
            "cgi.assign = (\".sh\" => \"/bin/sh\")\n"
            "auth.backend = \"plain\"\n"
            "auth.backend.plain.userfile = \"" +
            root +
            "/users\"\n"
            "auth.require = ( \"/protected/\" => ( \"method\" => \"digest\", \"realm\" => \"cam\","
            " \"require\" => \"valid-user\", \"algorithm\" => \"MD5\" ),"
            " \"/axis-cgi/\" => ( \"method\" => \"digest\", \"realm\" => \"cam\","
            " \"require\" => \"valid-user\", \"algorithm\" => \"MD5\" ),"
            " \"/basic/\" => ( \"method\" => \"basic\", \"realm\" => \"cam\","
            " \"require\" => \"valid-user\" ) )\n";
        const std::string plain =
            dir_->Write("plain.conf", common +
                                          "server.modules = (\"mod_auth\", \"mod_authn_file\","
                                          " \"mod_cgi\")\nserver.port = " +
                                          std::to_string(plainPort_) + "\n");
        const std::string tls = dir_->Write(
            "tls.conf", common +
                            "server.modules = (\"mod_auth\", \"mod_authn_file\", \"mod_cgi\","
                            " \"mod_openssl\")\nssl.engine = \"enable\"\n"
                            "ssl.pemfile = \"" +
                            root + "/cert.pem\"\nssl.privkey = \"" + root +
                            "/key.pem\"\nserver.port = " + std::to_string(tlsPort_) + "\n");
        plain_ = std::make_unique<PeerProcess>();
        tls_ = std::make_unique<PeerProcess>();
        plain_->Start({"lighttpd", "-D", "-f", plain}, root + "/plain.log", plainPort_);
        if (tlsReady_) {
            tls_->Start({"lighttpd", "-D", "-f", tls}, root + "/tls.log", tlsPort_);
        }
    }

    static void TearDownTestSuite() {
        plain_.reset();
        tls_.reset();
        dir_.reset();
    }

    void SetUp() override {
        if (!plain_ || !plain_->running()) {
            GTEST_SKIP() << "lighttpd is not available";
        }
    }

    static vornak::DEVICE_INFO Device(uint16_t port, const char* password = "secret") {
        vornak::DEVICE_INFO device;
        device.address = "127.0.0.1";
        device.port = port;
        device.userName = "root";
        device.password = password;
        device.networkTimeout = 5000;
        return device;
    }

    static std::string Get(CHttpSender& sender, const std::string& path) {
        if (!sender.SendRequest(Web::MakeGetRequest(path))) {
            return "<failed " + std::to_string(sender.GetStatusCode()) + ">";
        }
        std::vector<uint8_t> body;
        sender.ReadResponse(body);
        return std::string(body.begin(), body.end());
    }

    static inline std::unique_ptr<interop::TempDir> dir_;
    static inline std::unique_ptr<PeerProcess> plain_, tls_;
    static inline uint16_t plainPort_ = 0, tlsPort_ = 0;
    static inline bool tlsReady_ = false;
};

TEST_F(Lighttpd, DigestKeepsItsNonceUntilTheServerNoLongerKnowsIt) {
    CHttpSender sender(Device(plainPort_), "Vornak HTTP Sender");
    EXPECT_EQ(Get(sender, "/protected/index.txt"), "hello\n");
    EXPECT_EQ(sender.GetChosenScheme(), Web::kAuthDigest);
    const std::string nonce = sender.GetAuthentication().GetNonce();
    EXPECT_EQ(Get(sender, "/protected/index.txt?again=1"), "hello\n");
    EXPECT_EQ(sender.GetAuthentication().GetNonce(), nonce);
    EXPECT_EQ(sender.GetAuthentication().GetNonceCount(), 2u);
    // A nonce of this server's form, issued long ago and signed with another secret.
    ASSERT_TRUE(sender.GetAuthentication().ParseChallenge(
        "Digest realm=\"cam\", nonce=\"00000001:0123456789abcdef0123456789abcdef\", qop=\"auth\""));
    EXPECT_EQ(Get(sender, "/protected/index.txt"), "hello\n");
    EXPECT_NE(sender.GetAuthentication().GetNonce(), "00000001:0123456789abcdef0123456789abcdef");
}

TEST_F(Lighttpd, BasicRightAndWrongPassword) {
    CHttpSender right(Device(plainPort_), "Vornak HTTP Sender");
    EXPECT_EQ(Get(right, "/basic/index.txt"), "basic\n");
    CHttpSender wrong(Device(plainPort_, "wrong"), "Vornak HTTP Sender");
    std::string error;
    EXPECT_FALSE(HUtils::RequestGetMessage(wrong, "/basic/index.txt", error));
    EXPECT_EQ(error, "Invalid username/password.");
    EXPECT_EQ(wrong.GetStatusCode(), 401u);
}

TEST_F(Lighttpd, ChunkedBody) {
    CHttpSender sender(Device(plainPort_), "Vornak HTTP Sender");
    ASSERT_TRUE(sender.SendRequest(Web::MakeGetRequest("/chunk.sh")));
    EXPECT_EQ(sender.GetResponseHeader("Transfer-Encoding"), "chunked");
    EXPECT_EQ(sender.GetContentLength(), 0u);
    std::vector<uint8_t> body;
    sender.ReadResponse(body);
    EXPECT_EQ(std::string(body.begin(), body.end()), "part1-part2");
}

TEST_F(Lighttpd, HttpsTakesAnyCertificateUnlessTheRequestAsksForACheck) {
    if (!tls_->running()) {
        GTEST_SKIP() << "no TLS listener";
    }
    CHttpSender sender(Device(tlsPort_), "Vornak HTTP Sender");
    sender.SetUseHttps(true);  // what port 443 does
    EXPECT_EQ(Get(sender, "/protected/index.txt"), "hello\n") << "self-signed";
    EXPECT_TRUE(sender.IsUsingHttps());
    CHttpSender checking(Device(tlsPort_), "Vornak HTTP Sender");
    checking.SetUseHttps(true);
    Web::HttpRequest request = Web::MakeGetRequest("/basic/index.txt");
    request.flags &= ~Web::kFlagAnyCertificate;
    // The refused certificate is a connection-level failure; plain HTTP to a TLS port then
    // gets no valid answer.
    EXPECT_FALSE(checking.SendRequest(request));
    EXPECT_EQ(checking.GetStatusCode(), 0u);
}

TEST_F(Lighttpd, ThroughTinyproxy) {
    if (interop::FindProgram("tinyproxy").empty()) {
        GTEST_SKIP() << "tinyproxy is not installed";
    }
    const uint16_t proxyPort = testing_support::UnusedLoopbackPort();
    const std::string log = dir_->path() + "/tinyproxy.log";
    const std::string conf =
        dir_->Write("tinyproxy.conf", "Port " + std::to_string(proxyPort) +
                                          "\nListen 127.0.0.1\nTimeout 30\nLogFile \"" + log +
                                          "\"\nLogLevel Info\nMaxClients 10\nAllow 127.0.0.1\n");
    PeerProcess proxy;
    ASSERT_TRUE(proxy.Start({"tinyproxy", "-d", "-c", conf}, dir_->path() + "/tp.out", proxyPort));

    vornak::DEVICE_INFO device = Device(plainPort_);
    vornak::SplitAddressAndProxy("127.0.0.1|127.0.0.1:" + std::to_string(proxyPort), device.address,
                                 device.proxy);
    CHttpSender sender(device, "Vornak HTTP Sender");
    EXPECT_EQ(Get(sender, "/protected/index.txt?via=proxy"), "hello\n");
    EXPECT_NE(interop::ReadFile(log).find("/protected/index.txt?via=proxy"), std::string::npos);
    EXPECT_EQ(sender.GetResponseHeader("Via").find("tinyproxy") != std::string::npos, true);

    // The same proxy text naming a port where nothing listens: nothing gets through.
    proxy.Stop();
    CHttpSender dead(device, "Vornak HTTP Sender");
    EXPECT_EQ(Get(dead, "/basic/index.txt"), "<failed 0>");
}

TEST_F(Lighttpd, CapabilityQueryThroughTheEntryPoints) {
    quillon::host::DriverLibrary library;
    std::string error;
    ASSERT_TRUE(library.Load(QUILLON_LIBRARY_PATH, error)) << error;
    Notify notify;
    Result result;
    EXPECT_EQ(library.startQuery("127.0.0.1", plainPort_, "root", "secret", &result), 0u)
        << "no module before InitCapabilityQuery";
    ASSERT_EQ(library.initQuery(&notify, 0), 1u);
    EXPECT_EQ(library.initQuery(&notify, 0), 0u) << "already initialised";
    EXPECT_EQ(library.startQuery("127.0.0.1", plainPort_, "root", nullptr, &result), 0u);
    ASSERT_EQ(library.startQuery("127.0.0.1", plainPort_, "root", "secret", &result), 1u);
    ASSERT_TRUE(notify.Wait(60));
    EXPECT_EQ(library.terminateQuery(), 1u);
    EXPECT_EQ(library.uninitQuery(), 1u);
    ASSERT_TRUE(notify.success) << notify.text;
    EXPECT_EQ(result.name, "AXIS AXIS P1346 Network Camera");
    EXPECT_EQ(result.named[2].value, "5.60.1");
    EXPECT_EQ(result.named[7].value, "2048x1536;1280x720;640x480");
    EXPECT_EQ(result.named[11].value, "0");
    EXPECT_EQ(result.items[101], "Count=1; IsStereo=0");
    EXPECT_EQ(result.items[120], "h264,jpeg");
    EXPECT_EQ(result.items[121], "2048x1536:50,1280x720:50,640x480:50");
    EXPECT_EQ(result.items.count(124), 0u) << "no stream profiles: no remote stream items";
    EXPECT_EQ(result.features[27], 1u);
}

TEST_F(Lighttpd, HostToolQueryWritesTheParametersFile) {
    const std::string host = std::string(QUILLON_BINARY_DIR) + "/tools/host/quillon-host";
    const std::string file = dir_->path() + "/camera.params";
    if (access(host.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "quillon-host is not built";
    }
    const interop::ToolResult run =
        interop::RunTool({host, "--library", QUILLON_LIBRARY_PATH, "--query", "--address",
                          "127.0.0.1", "--port", std::to_string(plainPort_), "--user", "root",
                          "--password", "secret", "--params-file", file},
                         60);
    ASSERT_EQ(run.exit_code, 0) << run.output;
    std::map<uint32_t, std::string> parameters;
    std::string error;
    ASSERT_TRUE(quillon::host::LoadParametersFile(file, parameters, error)) << error;
    EXPECT_EQ(parameters[1], "7000");
    EXPECT_EQ(parameters[3], "3");
    EXPECT_EQ(parameters[5], "(none)");
    EXPECT_EQ(parameters[101], "Count=1; IsStereo=0");
    EXPECT_EQ(parameters.count(102), 0u);
}

}  // namespace
