// The reference host's frames, a driver stand-in for the depacketizer fuzz targets, and a packet
// stream decoder that turns fuzz input into RTP packets (with losses, repeats and markers chosen by
// the input).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "driver/driver_api.h"
#include "host_objects.h"
#include "parsers/media_parser.h"
#include "rtsp/rtp_packet.h"
#include "stub_driver.h"

namespace vornak::fuzz {

class Driver : public test::StubDriver {
  public:
    Driver() { StubDriver::allocator = &frames; }
    quillon::host::HostFrameAllocator frames;
};

// Checks what every delivered frame must satisfy, whatever the input.
class Client : public IMediaParserClient {
  public:
    bool FrameReady(ipcapture::IVideoFrame* frame) override {
        if (frame->GetDataSize() == 0 || frame->GetDataSize() > frame->GetBufferSize() ||
            frame->GetDataSize() > kFrameBufferLimit + 2048) {
            std::abort();
        }
        ++frames;
        return true;
    }
    Size GetRequestedSize() override { return {}; }
    std::string GetStreamName() override { return "Quillon::LiveStream"; }
    void ConvertTimestamp(uint32_t, SYSTEMTIME& time) override { time = SYSTEMTIME{}; }
    size_t frames = 0;
};

// Input: records of [control][length][payload...]. Control bits: 0x01 marker, 0x02 skip one
// sequence number, 0x04 repeat the previous number, 0x08 new timestamp, 0x30 extension kind
// (0 none, 1 0xFFD8, 2 0xFFFF, 3 other) whose data is the first length/4*4 bytes.
inline std::vector<CRTPPacket> DecodePackets(std::span<const uint8_t> data) {
    std::vector<CRTPPacket> packets;
    uint16_t sequence = 65530;
    uint32_t timestamp = 1000;
    size_t pos = 0;
    while (pos + 2 <= data.size() && packets.size() < 512) {
        const uint8_t control = data[pos];
        const size_t length = std::min<size_t>(data[pos + 1] * 8u, data.size() - pos - 2);
        pos += 2;
        CRTPPacket packet;
        if ((control & 0x02) != 0) {
            ++sequence;
        }
        if ((control & 0x04) == 0) {
            ++sequence;
        }
        if ((control & 0x08) != 0) {
            timestamp += 3000;
        }
        packet.sequence = sequence;
        packet.timestamp = timestamp;
        packet.marker = control & 0x01;
        std::span<const uint8_t> body = data.subspan(pos, length);
        const unsigned kind = (control >> 4) & 3;
        if (kind != 0) {
            const size_t ext = std::min<size_t>(body.size(), (control >> 6) * 16u) / 4 * 4;
            static constexpr uint16_t kProfiles[] = {0, 0xFFD8, 0xFFFF, 0xABAC};
            packet.extensionProfile = kProfiles[kind];
            packet.extensionLength = static_cast<uint16_t>(ext / 4);
            packet.extensionData = body.first(ext);
            body = body.subspan(ext);
        }
        packet.payload = body;  // the input outlives the packets
        packet.payloadLength = static_cast<uint32_t>(body.size());
        packets.push_back(std::move(packet));
        pos += length;
    }
    return packets;
}

// Runs a stream through a parser and checks that every frame went back to the host.
template <typename Parser>
void RunStream(std::span<const uint8_t> data, std::span<const uint8_t> sps = {},
               std::span<const uint8_t> pps = {}, std::span<const uint8_t> config = {},
               std::span<const uint8_t> vps = {}) {
    Driver driver;
    Client client;
    {
        Parser parser(&driver);
        parser.SetClient(&client);
        parser.SetParameterSets({.sps = {sps.begin(), sps.end()},
                                 .pps = {pps.begin(), pps.end()},
                                 .vps = {vps.begin(), vps.end()},
                                 .config = {config.begin(), config.end()}});
        for (const CRTPPacket& packet : DecodePackets(data)) {
            parser.ProcessPacket(packet);
        }
    }
    if (driver.frames.Outstanding() != 0) {
        std::abort();
    }
}

}  // namespace vornak::fuzz
