#include "metrics/metrics_options.h"

#include <asio/ip/address.hpp>

namespace vandry::metrics {

const char METRICS_NOTES[] =
    "--metrics serves GET /metrics (Prometheus text format 0.0.4) on the program's own\n"
    "event loop: a request head of at most 8 KiB (more: 431), received within 5 s, at\n"
    "most 16 scrapers at once (a newcomer closes the oldest that has not asked yet, or\n"
    "is closed when all are being answered); every answer closes its connection;\n"
    "another path is 404, a bad request or another method 400.\n";

std::string parse_metrics_address(const std::string &text, MetricsOptions *out) {
    std::string refused =
        "--metrics wants [ADDR:]PORT, a numeric address and a port from 0 to 65535, not \"" + text +
        "\"";
    std::string address = out->address, port = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (address.size() > 2 && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
        else if (address.find(':') != std::string::npos)
            return refused; // IPv6 goes in brackets
    }
    long long number = 0;
    asio::error_code ec;
    asio::ip::make_address(address, ec);
    if (ec || !parse_decimal(port, 0, 65535, &number))
        return refused;
    out->address = address;
    out->port = static_cast<unsigned short>(number);
    return std::string();
}

std::vector<Option> metrics_options(MetricsOptions &o) {
    return {
        {"--metrics", "[ADDR:]PORT",
         "serve GET /metrics for Prometheus on ADDR (default 127.0.0.1) and\n"
         "PORT (0: a free one)",
         [&o](const std::string &v) {
             if (o.on)
                 return std::string("--metrics given twice");
             o.on = true;
             return parse_metrics_address(v, &o);
         }},
        number("--metrics-linger", "SECONDS",
               "after the run, serve the final figures this long (default 0)",
               {"whole seconds from 0 to 86400", 0, 86400}, [&o](long long s) { o.linger_s = s; }),
    };
}

} // namespace vandry::metrics
