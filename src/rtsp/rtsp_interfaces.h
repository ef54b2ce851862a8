// The callback interfaces between the RTSP/RTP stack and its users (the channels). Virtual
// functions are declared in their slot order.
#pragma once

#include <cstdint>

#include "rtsp/rtp_packet.h"
#include "rtsp/sdp_parser.h"

namespace vornak {

class IRTCPHandlerUser {
  public:
    virtual ~IRTCPHandlerUser() = default;
    // The camera ended the stream with an RTCP BYE.
    virtual void OnRtcpBye() = 0;
};

class IRTSPClientUser : public IRTCPHandlerUser {
  public:
    // False ends the session before SETUP.
    virtual bool OnRtspDescribeProcessed(const SessionDescription& description) = 0;
    // An RTP packet that arrived inside the RTSP connection (interleaved or tunnelled).
    virtual void OnRtspPacketReceived(const CRTPPacket& packet) = 0;
    // The session thread ends.
    virtual void OnRtspSessionClosed() = 0;
};

class IRTSPClientUserEx : public IRTSPClientUser {
  public:
    // After SETUP of a multicast session; false ends the session.
    virtual bool OnRtspSetupProcessed(const char* destination, uint16_t port) = 0;
    // After each successful PLAY of a multicast session, with the RTP-Info values.
    virtual void OnRtspPlayProcessed(uint32_t rtpTime, uint16_t sequence) = 0;
};

class IRTSPStreamParserUser {
  public:
    virtual ~IRTSPStreamParserUser() = default;
    // Before the frames of each read are handed on: they all arrived by now.
    virtual void OnStreamRead() {}
    virtual void OnStreamPacket(const CRTPPacket& packet) = 0;
    virtual void OnStreamBye() = 0;
};

}  // namespace vornak
