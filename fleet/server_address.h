// The server's address for the fleet: resolved once when it is numeric; a host name is resolved
// at most once a second, so that a wave of reconnections resolves it once and a change is still
// seen.
#ifndef VANDRY_FLEET_SERVER_ADDRESS_H
#define VANDRY_FLEET_SERVER_ADDRESS_H

#include "fleet/schedule.h"

#include <asio/ip/tcp.hpp>

#include <string>

namespace vandry::fleet {

class ServerAddress {
  public:
    ServerAddress(const std::string &host, const std::string &port);
    // 0 and the endpoint, or the code that getaddrinfo returned.
    int resolve(Clock::time_point now, asio::ip::tcp::endpoint *out);

  private:
    std::string host_, port_;
    bool numeric_ = false, cached_ = false;
    int cached_error_ = 0;
    Clock::time_point resolved_at_{};
    asio::ip::tcp::endpoint endpoint_;
};

} // namespace vandry::fleet

#endif
