// The request-and-answer exchanges both audio channels make with the device, with the error
// lines they log.
#pragma once

#include <string>

#include "base/debug.h"
#include "driver/driver_api.h"

namespace Web {
class CBaseHttpSender;
}

namespace vornak {

class CAudioRequests {
  public:
    // getMethod names the channel's RequestGet in its lines.
    CAudioRequests(Web::CBaseHttpSender& sender, IDriver& driver, CLoggerInstance& log,
                   const char* getMethod)
        : sender_(sender), driver_(driver), log_(log), getMethod_(getMethod) {}

    // 200 and 204 (with an empty reply) succeed; an empty URL fails without a request.
    bool Get(const std::string& url, std::string& reply);
    // "&Name=value..." on param.cgi; only a reply holding "OK" means the device took it. An
    // empty text succeeds at once.
    bool Update(const std::string& text, const char* method);

  private:
    Web::CBaseHttpSender& sender_;
    IDriver& driver_;
    CLoggerInstance& log_;
    const char* getMethod_;
};

}  // namespace vornak
