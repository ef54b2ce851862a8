// Stream readers of the simulator fed whole, in pieces and byte by byte: request heads, the
// tunnel's Base64, RTCP compounds; plus the URL helpers.
#include <gtest/gtest.h>

#include "camsim/message.h"
#include "camsim/rtcp.h"
#include "camsim/text_util.h"

namespace camsim {
namespace {

TEST(Base64Stream, WholePiecesAndBytes) {
    // Two requests encoded separately (each with its own padding) and joined with line breaks.
    std::string a = "DESCRIBE rtsp://h/x RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    std::string b = "PLAY rtsp://h/x RTSP/1.0\r\nCSeq: 22\r\n\r\n";
    std::string text = Base64Encode(a) + "\r\n" + Base64Encode(b);
    for (size_t piece : {text.size(), size_t{7}, size_t{1}}) {
        SCOPED_TRACE(piece);
        Base64Stream dec;
        std::string out;
        for (size_t i = 0; i < text.size(); i += piece) {
            ASSERT_TRUE(dec.Feed(std::string_view(text).substr(i, piece), out));
        }
        EXPECT_EQ(out, a + b);
    }
    Base64Stream bad;
    std::string out;
    EXPECT_FALSE(bad.Feed("QUJD*", out));
}

TEST(ParseRequest, WholePiecesAndBytes) {
    std::string text =
        "SET_PARAMETER rtsp://h/x RTSP/1.0\r\nCSeq: 5\r\nContent-Length: 17\r\n\r\n"
        "Renew-Stream: yes"
        "OPTIONS * RTSP/1.0\nCSeq: 6\n\n";
    for (size_t piece : {text.size(), size_t{5}, size_t{1}}) {
        SCOPED_TRACE(piece);
        std::string buf;
        std::vector<Request> got;
        for (size_t i = 0; i < text.size(); i += piece) {
            buf.append(text.substr(i, piece));
            while (true) {
                Request r;
                auto res = ParseRequest(buf, &r);
                ASSERT_NE(res.status, ParseStatus::kBad) << res.error;
                if (res.status == ParseStatus::kNeedMore)
                    break;
                buf.erase(0, res.consumed);
                got.push_back(r);
            }
        }
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].method, "SET_PARAMETER");
        EXPECT_EQ(got[0].body, "Renew-Stream: yes");
        EXPECT_EQ(got[1].Header("cseq"), "6") << "bare LF line ends, case-insensitive names";
        EXPECT_TRUE(got[1].IsRtsp());
    }
}

TEST(ParseRequest, Rejections) {
    struct Case {
        std::string text;
        const char* reason;
    } cases[] = {
        {"GET /\r\n\r\n", "request line without version"},
        {"GET / FTP/1.0\r\n\r\n", "unknown protocol"},
        {"GET / HTTP/1.1\r\nNoColon\r\n\r\n", "header line without colon"},
        {"GET / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "negative length"},
        {"GET / HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n", "body over the limit"},
        {"GET / HTTP/1.1\r\nX: " + std::string(20000, 'a'), "endless head"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        Request r;
        EXPECT_EQ(ParseRequest(c.text, &r).status, ParseStatus::kBad);
    }
}

TEST(UrlDecode, OnlyValidEscapes) {
    EXPECT_EQ(UrlDecode("videocodec%3dh264%26fps%3D25"), "videocodec=h264&fps=25");
    EXPECT_EQ(UrlDecode("%u00e9t%e9"), "%u00e9t\xe9") << "%u sequences stay literal";
    EXPECT_EQ(UrlDecode("a+b%2"), "a+b%2") << "plus kept, truncated escape literal";
    EXPECT_EQ(UrlDecode("a+b", true), "a b");
    auto args = ParseQuery("action=update&&Image.I0.XPos=10&flag");
    ASSERT_EQ(args.size(), 3u) << "empty arguments are skipped";
    EXPECT_EQ(FindArg(args, "image.i0.xpos"), "10");
    EXPECT_EQ(FindArg(args, "flag"), "");
    EXPECT_EQ(FindArg(ParseQuery("fps=5&fps=7"), "fps"), "7") << "later arguments override";
}

TEST(Rtcp, SenderReportLayoutAndWalk) {
    SenderReport sr;
    sr.ssrc = 0x11223344;
    sr.wall_clock = std::chrono::system_clock::time_point(std::chrono::seconds(1)) +
                    std::chrono::milliseconds(500);
    sr.rtp_timestamp = 0xCAFEBABE;
    sr.packet_count = 7;
    sr.octet_count = 1000;
    auto pkt = BuildSenderReport(sr, "cam", true);
    ASSERT_GE(pkt.size(), 28u);
    EXPECT_EQ(pkt[0], 0x80);
    EXPECT_EQ(pkt[1], 200);
    EXPECT_EQ((pkt[2] << 8) | pkt[3], 6) << "SR without report blocks is 7 words";
    uint32_t ntp_sec = (pkt[8] << 24) | (pkt[9] << 16) | (pkt[10] << 8) | pkt[11];
    uint32_t ntp_frac =
        (static_cast<uint32_t>(pkt[12]) << 24) | (pkt[13] << 16) | (pkt[14] << 8) | pkt[15];
    EXPECT_EQ(ntp_sec, 2208988800u + 1) << "NTP era starts in 1900";
    EXPECT_EQ(ntp_frac, 0x80000000u) << "half a second";
    EXPECT_EQ(pkt.size() % 4, 0u);
    auto info = ParseRtcpCompound(pkt);
    EXPECT_TRUE(info.valid);
    EXPECT_EQ(info.sender_reports, 1u);
    EXPECT_EQ(info.byes, 1u);

    std::vector<uint8_t> rr = {0x80, 201, 0, 1, 1, 2, 3, 4};
    EXPECT_EQ(ParseRtcpCompound(rr).receiver_reports, 1u);
    std::vector<uint8_t> overlong = {0x80, 201, 0, 9, 1, 2, 3, 4};
    EXPECT_FALSE(ParseRtcpCompound(overlong).valid) << "length past the datagram";
    std::vector<uint8_t> version1 = {0x40, 201, 0, 1, 1, 2, 3, 4};
    EXPECT_FALSE(ParseRtcpCompound(version1).valid);
}

}  // namespace
}  // namespace camsim
