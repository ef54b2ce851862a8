// Gap fill from the camera's storage card, the camera's half: its clock, the card, the list of
// recordings, and the playback of each recording over RTSP from the gap's start, whose frames
// go to the frame sink of the gap's channel.
#pragma once

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "edge/edge_storage.h"
#include "parsers/media_parser.h"
#include "rtsp/rtsp_client.h"
#include "rtsp/timestamp_converter.h"

namespace Web {
class CHttpSender;
}

namespace vornak {

class CXMLParser;

// One recording on the card, times converted to this computer's clock.
struct EdgeRecording {
    std::string id;
    uint32_t source = 0;
    std::string mimeType;
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t frameRate = 0;
    bool inProgress = false;
    TimeValue start = 0;
    TimeValue stop = 0;  // 0 while in progress
};

// Whether a recording can fill the rest of a gap: position is how far the gap is filled, end
// its end. A recording in progress counts as running up to the gap's end.
bool IsEdgeCandidate(const EdgeRecording& recording, TimeValue position, TimeValue end,
                     const std::set<std::string>& processed);

// The XPath of the recordings of a channel (counted from 0); the device numbers its video
// sources from 1, and only a device with several inputs is asked for one.
std::string RecordingPath(uint32_t channel, uint32_t videoInputs);

// The list request for a gap: from 60 s before its begin to 1 s after its end, in device time.
std::string RecordingListPath(const CAxisTimeHelper& clock, TimeValue begin, TimeValue end);

// The recording with this id under recordingPath of a loaded list reply, times converted to
// this computer's clock; false when the list does not hold it.
bool ReadRecording(CXMLParser& xml, const std::string& recordingPath, const std::string& id,
                   const CAxisTimeHelper& clock, EdgeRecording& recording);

// The UTC "dateTime" of a getDateTimeInfo answer; 0 when absent or unreadable.
TimeValue ParseDateTimeInfo(std::string_view json);

class CAxisEdgeStorageHandler : public CBaseEdgeStorageHandler,
                                public CLoggerInstance,
                                public IMediaParserClient,
                                public IRTSPClientUser {
  public:
    CAxisEdgeStorageHandler(IDriver* driver, uint32_t queueLimit);
    ~CAxisEdgeStorageHandler() override;

    // IMediaParserClient
    bool FrameReady(ipcapture::IVideoFrame* frame) override;
    Size GetRequestedSize() override;
    std::string GetStreamName() override;
    void ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME& time) override;

    // IRTSPClientUser
    void OnRtcpBye() override { sessionEnded_.Set(); }
    bool OnRtspDescribeProcessed(const SessionDescription& description) override;
    void OnRtspPacketReceived(const CRTPPacket& packet) override;
    void OnRtspSessionClosed() override { sessionEnded_.Set(); }

    bool SynchronizeTime();
    const CAxisTimeHelper& Clock() const { return clock_; }

  protected:
    void OnItemStarted(const CEdgeStorageTaskItem& item) override;
    PassResult RunRetrievalPass(const CEdgeStorageTaskItem& item) override;
    void AbortRetrieval() override;

  private:
    // The body of a good answer; empty (and logged) otherwise. With xml the body must load.
    std::string RequestGet(const std::string& path, CXMLParser* xml = nullptr);
    bool CardUsable();
    bool FindNextRecording(EdgeRecording& found);
    bool ReadRecordingDetails(const std::string& id, EdgeRecording& recording);
    // False when the playback failed; a recording of an unknown type is skipped (true).
    bool PlayRecording(const EdgeRecording& recording);
    bool OpenSession(const EdgeRecording& recording, uint16_t port);
    void CloseSession();
    uint16_t ReadRtspPort();

    std::unique_ptr<Web::CHttpSender> sender_;
    CAxisTimeHelper clock_;

    // The item in work; the position moves on the RTSP thread as frames are handed over.
    CLock itemLock_;
    uint32_t channel_ = 0;
    TimeValue end_ = 0;
    TimeValue position_ = 0;
    bool waitForKeyFrame_ = true;
    uint32_t frames_ = 0;           // handed over from the current recording
    uint32_t framesSinceOpen_ = 0;  // since the session was last (re)opened
    std::set<std::string> processed_;
    EdgeRecording recording_;

    CLock sessionLock_;
    std::unique_ptr<CBaseRTSPClient> client_;
    std::unique_ptr<CRTPMediaParser> parser_;  // used on the RTSP thread
    CTimeStampConverter converter_;
    bool anchored_ = false;
    std::atomic<bool> packetsSeen_{false};
    CManualEvent sessionEnded_;
};

}  // namespace vornak
