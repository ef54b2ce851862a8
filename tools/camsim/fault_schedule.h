// A fault schedule for a long camsim run: one fault per line, "AT_SECONDS KIND [ARGS...]" ('#'
// starts a comment), applied through the Simulator's fault API when its time comes, each start
// and end written to an event log as a JSON line.
//   restart DOWNTIME               drop everything, refuse connections for DOWNTIME seconds
//   outage FOR                     sessions stay, no media
//   stall FOR COUNT [BYTES]        the next COUNT PLAY answers and motion-JPEG streams send only
//                                  BYTES (default 3000) more and go silent; every connection
//                                  is closed so that clients reconnect into them
//   auth401 FOR COUNT              the next COUNT HTTP and RTSP requests get 401; connections
//                                  are closed as in stall
//   stale-nonce                    the next Digest answer with an old nonce gets stale=TRUE
//   rtp-drop|rtp-duplicate|rtp-reorder FOR EVERY
//                                  every EVERY-th RTP packet over UDP or multicast
//   ignore-keepalives FOR          keep-alives do not keep sessions
//   close                          close every connection
// Request faults (stall, auth401) left unused at the end of their window are withdrawn.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camsim.h"

namespace camsim {

struct ScheduledFault {
    enum class Kind {
        kRestart,
        kOutage,
        kStall,
        kAuth401,
        kStaleNonce,
        kRtpDrop,
        kRtpDuplicate,
        kRtpReorder,
        kIgnoreKeepAlives,
        kClose
    };
    double at = 0;  // seconds after the start
    Kind kind = Kind::kClose;
    double seconds = 0;  // how long it lasts (restart: the downtime); 0: a moment
    uint64_t count = 0;  // stall, auth401: requests; rtp-*: every Nth packet
    uint64_t bytes = 3000;
    int line = 0;
    std::string text;  // the line as written
};

// The faults in time order; nullopt with the line and what is wrong in error.
std::optional<std::vector<ScheduledFault>> ParseFaultSchedule(std::string_view text,
                                                              std::string* error);
const char* ScheduledFaultName(ScheduledFault::Kind kind);

class FaultScheduleRunner {
  public:
    // log may be null.
    FaultScheduleRunner(Simulator& sim, std::vector<ScheduledFault> faults, std::FILE* log);
    // Starts and ends what is due `since` seconds after the start.
    void Advance(double since);
    // Ends what is still on (at the end of the run).
    void Finish(double since);

  private:
    void Apply(const ScheduledFault& f, double since);
    void End(const ScheduledFault& f, double since);
    void Log(const char* event, const ScheduledFault& f, double since);
    void SetLiveRtp();

    Simulator& sim_;
    std::vector<ScheduledFault> faults_;
    std::FILE* log_;
    size_t next_ = 0;
    std::vector<ScheduledFault> active_;  // started, with an end to come
};

}  // namespace camsim
