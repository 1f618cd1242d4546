// Shards' reports made one: the figures summed, the lateness histograms merged exactly, the
// stations in unit order, as if one process had run every shard's units.
#ifndef VANDRY_FLEET_MERGE_H
#define VANDRY_FLEET_MERGE_H

#include "fleet/report.h"

#include <string>
#include <vector>

namespace vandry::fleet {

// A fleet's report as read, with the file name that reasons name it by.
struct NamedReport {
    std::string name;
    ReportJson report;
};

// The JSON type moves without throwing; the analyzer follows its invariant checks.
// NOLINTNEXTLINE(bugprone-exception-escape)
struct MergedReport {
    ReportJson head;                // the report without "stations", with "shards"
    ReportJson stations;            // every report's, in unit order
    std::string summary;            // the "fleet summary: ..." lines of summary_line
    std::vector<std::string> notes; // units that no report holds, a line each
    std::string error;              // why the reports cannot be merged; the rest is then empty
};

// Merges reports of one plan whose unit ranges do not overlap. The plan keeps every key but
// first_unit (the lowest) and units (the sum); "shards" sums each report's (1 without one);
// "seconds" is the longest; "complete" holds when it holds for all.
MergedReport merge_fleet_reports(const std::vector<NamedReport> &reports);

// vandry-fleet --merge: reads the files, prints the notes and the summary, writes out (none
// when empty). The exit status: 0, 2 when the reports cannot be read or merged, 1 when out
// cannot be written.
int run_merge(const std::vector<std::string> &files, const std::string &out);

} // namespace vandry::fleet

#endif
