// The camera's motion data stream (motion/motiondata.cgi): a multipart answer with one record
// per interval listing every include window as "group=<n>;level=<n>;threshold=<n>;". Tests set
// the levels the windows report and may have each record cut across two TCP writes.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "camsim.h"

namespace camsim {

class Connection;
class ParamDb;
struct Request;

class MotionFeed {
  public:
    // From the next record on; a window never set reports level 0.
    void SetLevel(unsigned window, unsigned level);
    void SetInterval(std::chrono::milliseconds interval);
    // Each record goes out in two writes, split inside its first group line.
    void SplitRecords(bool split);

    // One part: headers, lines, and the boundary that closes it. Empty without include windows.
    std::string Record(const ParamDb& params) const;
    std::chrono::milliseconds Interval() const;
    bool Split() const;

  private:
    mutable std::mutex mutex_;
    std::map<unsigned, unsigned> levels_;
    std::chrono::milliseconds interval_{100};
    bool split_ = false;
};

// The handler of motion/motiondata.cgi.
void ServeMotionData(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn,
                     const Request& req);

}  // namespace camsim
