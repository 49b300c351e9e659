// The outputs of a measured run, each a function of snapshots: summary table, verdict line,
// JSON report, CSV row and Prometheus text.
#pragma once

#include "CReport.h"

#include <string>

namespace report_formats {

// Every decoder and every column, the totals and the summary lines: the end of a run, and "w".
std::string table(const CReport::Result& r);
// The console's "s": the columns read first, in 80 columns; with more than max_rows decoders,
// the worst max_rows (by loss, then jitter) and a line saying how many more.
std::string console_table(const CReport::Result& r, size_t max_rows);
// The console's "t": the wide table's header, total and local rows and summary lines.
std::string totals_table(const CReport::Result& r);
// "verdict: pass (...)", "verdict: fail (...)" or "verdict: inconclusive (...)": the status
// and its reason as judged.
std::string verdict(const CReport::Result& r);
// A ramp's steps, one line each, and its capacity line; empty without a ramp.
std::string ramp(const CReport::Result& r);
// The instrument's own line: its CPU share, what it dropped itself, its longest stall.
std::string instrument(const CReport::Result& r);
std::string json(const CReport::Result& r);
std::string prometheus(const CReport::Result& r);
// The instance name of a Prometheus file (its label "relaysim"): its name without folder and
// ".prom".
std::string prom_instance(const std::string& path);

const char* csv_header();
// The row of the interval from the snapshot before (an empty Result for the first row) to r.
// Counts are the interval's; lost is never negative: holes of earlier rows that late
// datagrams filled are "recovered", so that lost minus recovered sums to the run's loss.
// A row whose interval began before start-up ended is marked "startup".
std::string csv_row(const CReport::Result& r, const CReport::Result& before);

// "0a:1b:2c:3d:4e:5f"
std::string mac_text(unsigned long mac);

// printf into a string of whatever length the values need.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace report_formats
