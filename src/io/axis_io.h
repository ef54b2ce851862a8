// Digital IO over the device's input.cgi and output.cgi: one poll of all inputs, then the
// monitor stream of their changes; outputs switched one request at a time.
#pragma once

#include <memory>
#include <string>

#include "io/input_monitor_parser.h"
#include "io/io_base.h"
#include "web/http_sender.h"

namespace vornak {

// "1,2,...,count": the device numbers its inputs from 1.
[[nodiscard]] std::string InputNumberList(uint32_t count);
// State of input index (0-based) in a check reply: "input<index + 1>=1" active, "=0" inactive,
// anything else undetermined.
[[nodiscard]] uint32_t PolledInputState(std::string_view body, uint32_t index);

class CAxisIO : public CIOBase {
  public:
    static constexpr uint32_t kMonitorTimeoutMs = 25000;

    explicit CAxisIO(IDriver* driver);
    ~CAxisIO() override;

  protected:
    void OnStart() override;
    bool SendOutput(uint32_t index, uint32_t state) override;
    bool PollInputs() override;
    void MonitorInputs() override;
    void AbortRequests() override;

  private:
    std::unique_ptr<Web::CHttpSender> pollSender_;
    std::unique_ptr<Web::CHttpSender> outputSender_;
    std::unique_ptr<Web::CHttpSender> monitorSender_;
    CInputMonitorParser monitorParser_;  // input thread only
};

}  // namespace vornak
