// The camera's digital IO: input.cgi (check and monitor) and output.cgi, over inputs that tests
// switch and outputs whose state tests read.
#pragma once

#include <memory>

#include "server.h"

namespace camsim {

// Both run on the I/O thread with the request's connection and its decoded query arguments.
void IoInputCgi(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn, const Request& req,
                const QueryArgs& args);
void IoOutputCgi(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn, const Request& req,
                 const QueryArgs& args);

}  // namespace camsim
