// The plan of a run: which stations send, under which seeds, with which generator and data type
// code. Every message of a planned station is then known in advance, tick by tick, so that a
// checker can tell exactly which message each arrival is. The text form:
//   vandry-plan type=21 rand=glibc interval=3 seed=1733700000 count=100
//   U00000 1733700000
//   U00001 1733700001
// (type=0: any data type code; count=N, when the run sends N messages a unit, says that every
// station must hold ticks 0 to N-1; one line per station, its name and its seed).
#ifndef VANDRY_CORE_PLAN_H
#define VANDRY_CORE_PLAN_H

#include "core/random.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace vandry {

struct PlannedStation {
    std::string name;
    unsigned seed = 0;
};

struct Plan {
    int data_type = 0; // 0: any
    RandKind rand = NATIVE_RAND;
    int interval_s = 3;
    unsigned seed = 0;       // the run's seed, as given
    std::uint32_t count = 0; // messages a unit sends; 0: not known
    std::vector<PlannedStation> stations;
};

// The first line of a plan's text.
std::string plan_header(const Plan &plan);

// "NAME SEED\n"
std::string plan_line(const PlannedStation &station);

// The plan read from its text, or the reason it cannot be read (with the line number).
struct PlanReading {
    Plan plan;
    std::string error;
};
PlanReading read_plan(std::istream &in);

} // namespace vandry

#endif
