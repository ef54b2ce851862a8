#include "io/axis_io.h"

#include "base/debug.h"
#include "web/field_search.h"
#include "web/request_utils.h"

namespace vornak {

std::string InputNumberList(uint32_t count) {
    std::string list;
    for (uint32_t n = 1; n <= count; ++n) {
        list += (n == 1 ? "" : ",") + std::to_string(n);
    }
    return list;
}

uint32_t PolledInputState(std::string_view body, uint32_t index) {
    const std::string value = GetFieldValue(body, Format("input%u", index + 1), "=", "\r\n\t ");
    if (value == "0") {
        return kIOInactive;
    }
    return value == "1" ? kIOActive : kIOUndetermined;
}

CAxisIO::CAxisIO(IDriver* driver) : CIOBase(driver) {}

CAxisIO::~CAxisIO() {
    StopIO();
}

void CAxisIO::OnStart() {
    // Made at the first start rather than at construction: the driver settles the device's
    // time-outs only after it has created this object.
    if (pollSender_) {
        return;
    }
    const DEVICE_INFO device = *driver_->GetDeviceInfo();
    pollSender_ = std::make_unique<Web::CHttpSender>(device, Web::CHttpSender::kDefaultUserAgent);
    outputSender_ = std::make_unique<Web::CHttpSender>(device, Web::CHttpSender::kDefaultUserAgent);
    monitorSender_ = std::make_unique<Web::CHttpSender>(device, kMonitorTimeoutMs);
    pollSender_->SetCancelEvent(InputStopEvent());
    monitorSender_->SetCancelEvent(InputStopEvent());
    outputSender_->SetCancelEvent(OutputStopEvent());
}

void CAxisIO::AbortRequests() {
    for (const auto* sender : {&pollSender_, &outputSender_, &monitorSender_}) {
        if (*sender) {
            (*sender)->Abort();
        }
    }
}

bool CAxisIO::PollInputs() {
    if (IsInputStopping() || !pollSender_) {
        return false;
    }
    const uint32_t count = GetInputCount();
    const HUtils::Reply reply =
        HUtils::Get(*pollSender_, "/axis-cgi/io/input.cgi?check=" + InputNumberList(count));
    if (!reply.answered || !reply.Ok()) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        SetInputState(i, PolledInputState(reply.body, i));
    }
    return true;
}

void CAxisIO::MonitorInputs() {
    if (IsInputStopping() || !monitorSender_) {
        return;
    }
    Web::CHttpSender& sender = *monitorSender_;
    // A stream, not a request and its answer: read as long as the device keeps it open.
    const std::string path = "/axis-cgi/io/input.cgi?monitor=" + InputNumberList(GetInputCount());
    if (sender.SendRequest(Web::MakeGetRequest(path)) && sender.GetStatusCode() >= 200 &&
        sender.GetStatusCode() <= 299) {
        monitorParser_.Reset();
        std::vector<uint8_t> data;
        while (!IsInputStopping()) {
            if (sender.ReadData(data, 4, true) == 0) {
                break;
            }
            if (const uint32_t more = sender.QueryDataAvailable(); more != 0) {
                sender.ReadData(data, more, false);
            }
            for (const InputRecord& record : monitorParser_.Feed(data)) {
                SetInputState(record.index, record.state);
            }
        }
    }
    sender.Close();
}

bool CAxisIO::SendOutput(uint32_t index, uint32_t state) {
    const char* suffix = state == kIOInactive ? "%5C" : state == kIOActive ? "%2F" : nullptr;
    if (suffix == nullptr || IsOutputStopping() || !outputSender_) {
        return false;
    }
    const HUtils::Reply reply = HUtils::Get(
        *outputSender_, Format("/axis-cgi/io/output.cgi?action=%u:%s", index + 1, suffix));
    return reply.answered && reply.Ok();
}

}  // namespace vornak
