// A camera's parameter interface on loopback, enough for the property reader: list by group
// prefix, update, PTZ who-am-I, Basic authentication; no parameter definitions.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "unit/web/loopback_http_server.h"

namespace testing_support {

class FakeCamera {
  public:
    explicit FakeCamera(std::map<std::string, std::string> parameters,
                        std::string password = "pass");
    uint16_t port() const { return server_->port(); }
    std::vector<HttpRequestSeen> requests() { return server_->requests(); }
    std::string Get(const std::string& name);

  private:
    void Handle(const HttpRequestSeen& request, LoopbackConnection& connection);
    std::string List(const std::string& group);

    std::mutex mutex_;
    std::map<std::string, std::string> parameters_;
    std::string password_;
    std::unique_ptr<LoopbackHttpServer> server_;
};

// The parameters of a typical fixed H.264 camera with audio, IO and digital PTZ.
std::map<std::string, std::string> TypicalCamera();

}  // namespace testing_support
