// A run of quillon-host as one page a person opens in a browser: per stream, timelines of frame
// rate, bit rate, lag and key frames with the signal-loss and reconnect events on them, and the
// summary table. The page loads nothing from anywhere; its figures also stand in it as JSON
// (element id "quillon-data") for tools that read it.
#pragma once

#include <string>
#include <vector>

#include "capture_session.h"

namespace quillon::host {

// elapsedSeconds is the run time the summary table divides by.
std::string HtmlReport(const std::string& title, const std::vector<StreamRecorder*>& streams,
                       double elapsedSeconds);
// The figures the page carries, alone: JSON for tools (quillon-host --summary).
std::string RunJson(const std::vector<StreamRecorder*>& streams, double elapsedSeconds);
bool WriteTextFile(const std::string& path, const std::string& text, std::string& error);
bool WriteHtmlReport(const std::string& path, const std::string& title,
                     const std::vector<StreamRecorder*>& streams, double elapsedSeconds,
                     std::string& error);

}  // namespace quillon::host
