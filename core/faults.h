// Field faults, seeded: units that misbehave the way real ones do, the same way in every run.
// Each message (each tick) may be hit by at most one fault, chosen by one draw from a stream of
// the unit's own, apart from its telemetry: a message that is not faulted is exactly the one the
// unit sends without faults.
//   drop       the message is not written; its tick is used up
//   cut        part of it is written (1 byte to all but one), then the connection is reset
//   garble     one digit of one value becomes another: well formed, but wrong
//   duplicate  the message is written twice
//   silence    the unit closes its connection and stays quiet (no ticks pass), then reconnects
//   slow       the message is written in pieces of 1 to 8 bytes, 50 to 500 ms apart
#ifndef VANDRY_CORE_FAULTS_H
#define VANDRY_CORE_FAULTS_H

#include "core/command_line.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vandry {

enum class FaultKind : std::uint8_t { none, drop, cut, garble, duplicate, silence, slow };
constexpr int FAULT_KINDS = 7; // none included

const char *fault_name(FaultKind kind); // "drop", "cut", ...

struct FaultRates {
    std::array<double, FAULT_KINDS> probability{}; // per message; none's is unused
    int silence_s = 0;
    [[nodiscard]] bool any() const;
};

// A program's fault options: --faults SPEC, --fault-seed N, --fault-log FILE.
struct FaultOptions {
    FaultRates rates;
    std::string list;             // --faults as given; empty: none
    std::optional<unsigned> seed; // none: from the unit's own seed
    std::string log;              // a CSV file with a row per injected fault; empty: none
};

// The three options, into o; seed_help says what N does in the program.
std::vector<Option> fault_options(FaultOptions &o, const std::string &seed_help);

// The fault log's kind for a message written into a connection that then failed: no fault
// drawn, but a loss that the collector is not to blame for.
constexpr const char UNCONFIRMED_KIND[] = "unconfirmed";

// The fault log: each row written whole and flushed, so that a receiver reading the log
// meanwhile sees it. A row that cannot be written (a full disk, a file-size limit) is said once
// on standard error, and the run is then to end in failure: a log with rows missing would blame
// the collector for losses that were injected.
class FaultLogFile {
  public:
    // program: the name that the complaint begins with.
    explicit FaultLogFile(const char *program) : program_(program) {}
    // Creates the log with its header; nothing with an empty path. False when it cannot be.
    bool open(const std::string &path);
    // A row stamped now, whole whichever thread writes it; nothing when there is no log.
    void write(const std::string &station, std::uint32_t tick, const char *kind,
               const std::string &detail);
    [[nodiscard]] bool failed() const { return failed_; }

  private:
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file_{nullptr, std::fclose};
    const char *program_;
    std::string path_;
    std::mutex mutex_; // rows come from every thread of the fleet
    bool failed_ = false;
};

// "kind=P,kind=P,...", silence as "silence=P:SECONDS"; the probabilities add up to at most 1.
struct FaultRatesReading {
    FaultRates rates;
    std::string error;
};
FaultRatesReading parse_faults(const std::string &text);

// A unit's own stream of fault draws (SplitMix64: the same numbers on every platform).
class FaultStream {
  public:
    explicit FaultStream(std::uint64_t seed) noexcept : state_(seed) {}
    std::uint64_t next() noexcept {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // From 0 up to but not including n (at least 1).
    unsigned below(unsigned n) noexcept { return n == 0 ? 0 : static_cast<unsigned>(next() % n); }

  private:
    std::uint64_t state_;
};

// The fault stream of a unit seeded with unit_seed, unless a fault seed is given.
std::uint64_t fault_seed_of(unsigned unit_seed);

// The fault of a message: one draw.
FaultKind draw_fault(const FaultRates &rates, FaultStream &stream);

// Garbles one digit of one value of a message (its name is name_length bytes) in place, keeping
// it well formed: a digit of the record's values before the sequence number, never a leading
// zero. Returns the detail.
std::string garble_message(char *message, int length, std::size_t name_length, FaultStream &stream);

// The bytes of a cut message that are written: 1 to length - 1.
int cut_length(int length, FaultStream &stream);

// The next piece of a slow message: its bytes (1 to 8, at most what is left) and the pause
// after it (50 to 500 ms).
struct SlowPiece {
    int bytes;
    int pause_ms;
};
SlowPiece slow_piece(int left, FaultStream &stream);

// What goes on the wire for a message hit by a fault: its first bytes (0: none), once or twice,
// in slow pieces, and whether the connection is reset after them. detail says what the fault
// did, for the fault log.
struct Wire {
    int bytes = 0;
    int copies = 1;
    bool slow = false;
    bool reset = false;
    std::string detail;
};

// The message (name_length bytes of name before its comma) as the fault sends it; a garble
// changes it in place. Silence sends no message: it is not asked for here.
Wire apply_fault(FaultKind kind, char *message, int length, std::size_t name_length,
                 FaultStream &stream);

// The header and a row of the fault log (CSV, rows ended by CR LF).
extern const char FAULT_LOG_HEADER[];
std::string fault_log_row(long long utc_ms, const std::string &station, std::uint32_t tick,
                          const char *kind, const std::string &detail);
// The detail of a silence: "quiet for N s".
std::string silence_detail(const FaultRates &rates);

} // namespace vandry

#endif
