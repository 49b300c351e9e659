// The outputs of a measured run, each a function of snapshots: summary table, verdict line,
// JSON report, CSV row and Prometheus text.
#pragma once

#include "CReport.h"

#include <string>

namespace report_formats {

std::string table(const CReport::Run& run);
// "verdict: pass (...)" or "verdict: fail (...)", the measured values against each limit;
// "verdict: inconclusive (...)" when relaysim dropped datagrams itself.
std::string verdict(const CReport::Run& run);
// A ramp's steps, one line each, and its capacity line; empty without a ramp.
std::string ramp(const CReport::Run& run);
// The instrument's own line: its CPU share and what it dropped itself.
std::string instrument(const CReport::Run& run);
std::string json(const CReport::Run& run);
std::string prometheus(const CReport::Run& run);
// The instance name of a Prometheus file (its label "relaysim"): its name without folder and
// ".prom".
std::string prom_instance(const std::string& path);

const char* csv_header();
// The row of the interval from the snapshot before (an empty Run for the first row) to run.
// Counts are the interval's; lost is never negative: holes of earlier rows that late
// datagrams filled are "recovered", so that lost minus recovered sums to the run's loss.
// A row whose interval began before start-up ended is marked "startup".
std::string csv_row(const CReport::Run& run, const CReport::Run& before);

// "0a:1b:2c:3d:4e:5f"
std::string mac_text(unsigned long mac);

// printf into a string of whatever length the values need.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace report_formats
