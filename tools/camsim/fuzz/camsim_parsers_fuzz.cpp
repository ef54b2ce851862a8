// Feeds arbitrary bytes to every parser of the simulator that reads client or file input: request
// heads, Authorization headers, the tunnel's Base64, RTCP compounds, JPEG headers and profiles.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "auth.h"
#include "media.h"
#include "message.h"
#include "param_db.h"
#include "rtcp.h"
#include "rtp_packetizer.h"
#include "text_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::span<const uint8_t> bytes(data, size);

    camsim::Request req;
    auto r = camsim::ParseRequest(text, &req);
    if (r.status == camsim::ParseStatus::kComplete && r.consumed > size)
        __builtin_trap();
    (void)camsim::ParseRequest(text, &req, 16384, 1 << 20, false);
    camsim::SplitUrl(text);
    camsim::ParseQuery(text);
    (void)camsim::ParseAuthorization(text);

    camsim::Base64Stream b64;
    std::string out;
    b64.Feed(text, out);

    (void)camsim::ParseRtcpCompound(bytes);

    if (auto info = camsim::ParseJpeg(bytes)) {
        if (info->headers_end > size || info->scan_end > size)
            __builtin_trap();
        camsim::PacketizerOptions opts;
        opts.max_payload = 300;
        camsim::PacketizeJpeg(bytes, opts);
    }
    camsim::Clip clip;
    (void)camsim::LoadH264(bytes, &clip);
    camsim::Clip clip2;
    (void)camsim::LoadMpeg4(bytes, &clip2);
    camsim::Clip clip3;
    (void)camsim::LoadMjpeg(bytes, &clip3);

    camsim::ParamDb db;
    if (!db.LoadProfileText(text)) {
        db.List("root");
        db.ListDefinitions("");
        db.Add(camsim::ParseQuery("template=streamprofile&group=StreamProfile"));
    }
    return 0;
}
