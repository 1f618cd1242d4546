#include "core/unit_protocol.h"

namespace vandry {

void log_fault(const StepContext &c, const char *name, const Step &step) {
    if (c.log != nullptr)
        c.log->write(name, step.tick, fault_name(step.fault),
                     step.silent() ? silence_detail(c.rates) : step.wire.detail);
}

void log_unconfirmed(FaultLogFile *log, const char *name, std::uint32_t tick) {
    if (log != nullptr)
        log->write(name, tick, UNCONFIRMED_KIND, "written into a connection that then failed");
}

EndRule end_rule(ConnectionEnd why, bool keep_open) {
    // A close-after-send connection says its every end; a kept one only its failures.
    const std::optional<ConsoleLine> closing =
        keep_open ? std::nullopt : std::optional<ConsoleLine>(ConsoleLine::closing);
    switch (why) {
    case ConnectionEnd::orderly:
    case ConnectionEnd::silence:
    case ConnectionEnd::copy_apart:
        return {closing, CloseBy::shutdown, false};
    case ConnectionEnd::send_failed:
        return {ConsoleLine::send_failed, CloseBy::close, !keep_open};
    case ConnectionEnd::cut:
        return {std::nullopt, CloseBy::reset, !keep_open};
    case ConnectionEnd::ended_by_server:
        return {ConsoleLine::ended_by_server, CloseBy::close, !keep_open};
    case ConnectionEnd::reset:
        return {ConsoleLine::receive_failed, CloseBy::close, !keep_open};
    }
    return {};
}

} // namespace vandry
