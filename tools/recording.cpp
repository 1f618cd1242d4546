#include "recording.h"

#include "console.h"
#include "framing.h"
#include "platform.h"

#include <array>
#include <cstdio>

namespace vandry::check {

bool read_recording(const ReceiverOptions &options, MessageLog &log) {
    const bool from_stdin = *options.read == "-";
    FILE *in = from_stdin ? stdin : std::fopen(options.read->c_str(), "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "vandry-receiver: cannot open %s\n", options.read->c_str());
        return false;
    }
    if (from_stdin)
        platform::set_binary_mode(stdin);
    const std::string source = from_stdin ? "stdin" : *options.read;
    StreamSplitter splitter(options.mode);
    std::array<char, 16384> buffer{};
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;)
        for (const Message &m : splitter.feed(std::string_view(buffer.data(), n)))
            log.handle(0, source, m, std::string());
    for (const Message &m : splitter.finish())
        log.handle(0, source, m, std::string());
    const bool read_whole = std::ferror(in) == 0;
    if (!from_stdin)
        (void)std::fclose(in); // only read from
    if (!read_whole)
        std::fprintf(stderr, "vandry-receiver: cannot read %s\n", options.read->c_str());
    const Totals &totals = log.totals();
    report("vandry-receiver read %s: %s, %llu malformed, %s, %llu lost\n", source.c_str(),
           counted(totals.messages, "message").c_str(), totals.malformed,
           counted(totals.gaps, "gap").c_str(), totals.lost);
    return read_whole;
}

} // namespace vandry::check
