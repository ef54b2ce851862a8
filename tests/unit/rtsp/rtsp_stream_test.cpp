#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "rtsp/rtcp_packets.h"
#include "rtsp/rtsp_answer_reader.h"
#include "rtsp/rtsp_stream_parser.h"
#include "rtsp_test_support.h"

namespace vornak {
namespace {

using test::FrameBytes;
using test::Rtp;

class CStreamRecorder : public IRTSPStreamParserUser {
  public:
    void OnStreamPacket(const CRTPPacket& packet) override { sequences.push_back(packet.sequence); }
    void OnStreamBye() override { ++byes; }
    std::vector<uint16_t> sequences;
    int byes = 0;
};

void Append(std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
}

// The stream every way of feeding must give the same result for: answer text, RTP on 0, a frame
// on another channel that holds what looks like a frame on 0, RTCP SR + BYE on 1, more RTP. Far
// more RTP than the parser holds at once, so unfinished frames must move to the front.
std::vector<uint8_t> SampleStream() {
    std::vector<uint8_t> s;
    const std::string answer = "RTSP/1.0 200 OK\r\nCSeq: 4\r\nSession: 1\r\n\r\n";
    s.insert(s.end(), answer.begin(), answer.end());
    Append(s, FrameBytes(0, Rtp(1)));
    for (uint16_t sequence = 2; sequence <= 101; ++sequence) {
        Append(s, FrameBytes(0, Rtp(sequence, 1412)));
    }
    Append(s, FrameBytes(5, FrameBytes(0, Rtp(99))));
    std::vector<uint8_t> rtcp(28, 0);
    rtcp[0] = 0x80;
    rtcp[1] = kRtcpSenderReport;
    rtcp[3] = 6;
    Append(rtcp, {0x81, kRtcpBye, 0, 1, 1, 2, 3, 4});
    Append(s, FrameBytes(1, rtcp));
    Append(s, FrameBytes(0, Rtp(3, 12)));
    return s;
}

void FeedInSteps(CRTSPStreamParser& parser, const std::vector<uint8_t>& data, size_t step) {
    for (size_t i = 0; i < data.size(); i += step) {
        parser.Feed(std::span<const uint8_t>(data).subspan(i, std::min(step, data.size() - i)));
    }
}

TEST(RTSPStreamParserTest, WholePiecesAndBytesGiveTheSame) {
    const auto stream = SampleStream();
    std::vector<uint16_t> expected(101);
    std::iota(expected.begin(), expected.end(), 1);
    for (size_t step : {stream.size(), size_t{1000}, size_t{7}, size_t{1}}) {
        CStreamRecorder user;
        CRTSPStreamParser parser(&user, 0);
        FeedInSteps(parser, stream, step);
        EXPECT_EQ(user.sequences, expected) << "step " << step;
        EXPECT_EQ(user.byes, 1) << "step " << step;
        EXPECT_TRUE(parser.Unparsed().empty())
            << "step " << step << ": the last frame has no payload and fits";
    }
}

TEST(RTSPStreamParserTest, RejectedFramesAreSkipped) {
    CStreamRecorder user;
    CRTSPStreamParser parser(&user, 0);
    std::vector<uint8_t> s = FrameBytes(0, {0x40, 1, 2, 3});  // not RTP version 2
    Append(s, FrameBytes(1, {0x40, kRtcpBye, 0, 0}));         // RTCP version 1: walk stops
    Append(s, FrameBytes(0, Rtp(7)));
    parser.Feed(s);
    EXPECT_EQ(user.sequences, std::vector<uint16_t>{7});
    EXPECT_EQ(user.byes, 0);
}

TEST(RTCPWalkTest, StopsAtAPacketThatDoesNotFit) {
    std::vector<uint8_t> data = {0x81, kRtcpBye, 0, 1, 1, 2, 3, 4, 0x81, kRtcpBye, 0, 5, 0};
    std::vector<uint8_t> types;
    WalkRtcp(data, [&](uint8_t type, std::span<const uint8_t> packet) {
        types.push_back(type);
        EXPECT_EQ(packet.size(), 8u);
    });
    EXPECT_EQ(types, std::vector<uint8_t>{kRtcpBye});
}

TEST(RTCPPacketsTest, ReceiverReportLayout) {
    ReceiverReportFields f;
    f.versionByte = 0x80;
    f.ownSsrc = 0x11223344;
    const uint8_t source[4] = {0xB0, 0xBA, 0x78, 0x55};
    std::memcpy(&f.sourceSsrc, source, 4);
    f.fractionLost = 64;
    f.cumulativeLost = -1;  // duplicates can outnumber losses
    f.extendedHighest = 0x00011233;
    f.jitter = 0x10;
    f.lastSr = 0xAABBCCDD;
    f.delaySinceLastSr = 65536;
    const auto rr = BuildReceiverReport(f);
    const std::array<uint8_t, 32> expected = {0x81, 201,  0,    7,     // V=2 RC=1, RR, length 7
                                              0x11, 0x22, 0x33, 0x44,  // own SSRC
                                              0xB0, 0xBA, 0x78, 0x55,  // source SSRC as received
                                              64,   0xFF, 0xFF, 0xFF,  // fraction, lost (24)
                                              0,    1,    0x12, 0x33,  // cycles, highest
                                              0,    0,    0,    0x10,  // jitter
                                              0xAA, 0xBB, 0xCC, 0xDD,  // last SR
                                              0,    1,    0,    0};    // one second in 1/65536 s
    EXPECT_EQ(rr, expected);
    const auto bye = BuildBye(0x80, 0x11223344);
    EXPECT_EQ(bye, (std::array<uint8_t, 8>{0x81, 203, 0, 1, 0x11, 0x22, 0x33, 0x44}));
}

// Hand-computed from the rules for sequence numbers, loss and jitter of receiver reports.
TEST(RTCPPacketsTest, ReceptionStatisticsOverWrapLossJitterAndRestart) {
    struct Packet {
        uint16_t sequence;
        uint32_t timestamp, arrival;
    };
    struct Row {
        std::vector<Packet> packets;
        uint32_t highest;
        int32_t lost;
        uint8_t fraction;
        uint32_t jitter;
        const char* why;
    };
    const Row rows[] = {
        {{{65534, 0, 1000}, {65535, 3600, 4600}, {1, 10800, 11960}},
         65536 + 1,
         1,
         64,
         10,
         "wrap counts a cycle; 0 lost of 4 expected is 1/4; a 160 transit step adds 160/16"},
        {{{2, 14400, 15560}},
         65536 + 2,
         1,
         0,
         9,
         "no new loss in this interval; jitter decays by 1/16: 160 - 10 = 150, /16"},
        {{{40000, 18000, 19160}, {40001, 20000, 21160}},
         40001,
         0,
         0,
         8,
         "a jump is believed on the second packet in a row: the counts start again"},
    };
    CReceptionStats stats;
    for (const Row& row : rows) {
        for (const Packet& p : row.packets) {
            stats.OnPacket(p.sequence, p.timestamp, p.arrival);
        }
        ReceiverReportFields f;
        stats.Report(f);
        EXPECT_EQ(f.extendedHighest, row.highest) << row.why;
        EXPECT_EQ(f.cumulativeLost, row.lost) << row.why;
        EXPECT_EQ(f.fractionLost, row.fraction) << row.why;
        EXPECT_EQ(f.jitter, row.jitter) << row.why;
    }
}

TEST(RTSPAnswerReaderTest, WholePiecesAndBytes) {
    const std::string body(600, 'v');
    const std::string answer = "RTSP/1.0 200 OK\r\nCSeq: 2\r\nContent-Length: 600\r\n\r\n" + body;
    // Headers far beyond 512 bytes are still read up to their blank line.
    std::string next = "RTSP/1.0 200 OK\r\nCSeq: 3\r\n";
    for (int i = 0; i < 40; ++i) {
        next += "X-Filler-" + std::to_string(i) + ": " + std::string(40, 'f') + "\r\n";
    }
    next += "\r\n";
    std::vector<uint8_t> stream = FrameBytes(0, Rtp(1));  // media ahead of the answer
    stream.insert(stream.end(), answer.begin(), answer.end());
    stream.insert(stream.end(), next.begin(), next.end());
    for (size_t step : {stream.size(), size_t{256}, size_t{5}, size_t{1}}) {
        CRTSPAnswerReader reader;
        std::vector<std::string> answers;
        for (size_t i = 0; i < stream.size(); i += step) {
            auto state = reader.Feed(
                std::span<const uint8_t>(stream).subspan(i, std::min(step, stream.size() - i)));
            while (state == CRTSPAnswerReader::State::kComplete) {
                answers.push_back(reader.TakeAnswer());
                state = reader.Check();
            }
            ASSERT_EQ(state, CRTSPAnswerReader::State::kNeedMore) << "step " << step;
        }
        ASSERT_EQ(answers.size(), 2u) << "step " << step;
        EXPECT_EQ(answers[0], answer) << "step " << step;
        EXPECT_EQ(answers[1], next) << "step " << step;
    }
}

TEST(RTSPAnswerReaderTest, Refusals) {
    struct Row {
        std::string text;
        CRTSPAnswerReader::State state;
        const char* reason;
    };
    const Row rows[] = {
        {"RTSP/1.0 200 OK\r\n" + std::string(70000, 'x'), CRTSPAnswerReader::State::kTooLarge,
         "no blank line within 64 KiB"},
        {"RTSP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n", CRTSPAnswerReader::State::kBadLength,
         "negative length"},
        {"RTSP/1.0 200 OK\r\nContent-Length: 99999999\r\n\r\n",
         CRTSPAnswerReader::State::kBadLength, "body larger than any description"},
    };
    for (const Row& row : rows) {
        CRTSPAnswerReader reader;
        EXPECT_EQ(reader.Feed(std::span<const uint8_t>(
                      reinterpret_cast<const uint8_t*>(row.text.data()), row.text.size())),
                  row.state)
            << row.reason;
    }
}

}  // namespace
}  // namespace vornak
