#include "fleet/server_address.h"

#include "platform/platform.h"

#include <cstring>

namespace vandry::fleet {

ServerAddress::ServerAddress(const std::string &host, const std::string &port)
    : host_(host), port_(port) {
    asio::error_code ec;
    const asio::ip::address_v4 address = asio::ip::make_address_v4(host, ec);
    if (!ec) {
        numeric_ = true;
        endpoint_ = asio::ip::tcp::endpoint(address, static_cast<unsigned short>(std::stoi(port)));
    }
}

int ServerAddress::resolve(Clock::time_point now, asio::ip::tcp::endpoint *out) {
    if (!numeric_ && (!cached_ || now - resolved_at_ >= std::chrono::seconds(1))) {
        // The single unit's request: IPv4, stream, TCP, and only the first answer is used.
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo *result = nullptr;
        cached_error_ = getaddrinfo(host_.c_str(), port_.c_str(), &hints, &result);
        if (cached_error_ == 0) {
            endpoint_.resize(result->ai_addrlen);
            std::memcpy(endpoint_.data(), result->ai_addr, result->ai_addrlen);
            freeaddrinfo(result);
        }
        cached_ = true;
        resolved_at_ = now;
    }
    if (numeric_ || cached_error_ == 0)
        *out = endpoint_;
    return numeric_ ? 0 : cached_error_;
}

} // namespace vandry::fleet
