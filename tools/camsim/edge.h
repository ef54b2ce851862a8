// The camera's storage card and clock: disks/list.cgi, record/list.cgi, date.cgi, time.cgi and
// the RTSP playback of a recording. The camera records continuously from the simulator's start
// whatever happens to the live streams, so a test that stops the live media (StopMedia) finds
// the missing video on the card.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "server.h"

namespace camsim {

// The four CGIs above, by the request's path, on the I/O thread.
void EdgeCgi(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn, const Request& req,
             const QueryArgs& args);

// A "recordingid=" media path: the recording's stream, played faster than real time.
std::optional<StreamRequest> ResolveRecording(Simulator::Impl& impl, const std::string& id,
                                              int* status);

// PLAY of a recording: moves the stream to the frame of the "clock=" range start and answers
// the "clock=" range it will send.
std::string SeekRecording(Simulator::Impl& impl, Stream& stream, const std::string& range);

}  // namespace camsim
