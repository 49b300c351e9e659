// The live line of a measured run: one line an interval, at most 80 columns, under a header.
#pragma once

#include "CReport.h"

#include <string>

namespace live_view {

// Both end with a line feed and are at most 80 columns wide, whatever the figures.
const char* header();
// The interval from before to run. cpu_percent: relaysim's own over that interval, of the
// cores it may run on.
std::string line(const CReport::Result& r, const CReport::Result& before, double cpu_percent);

}  // namespace live_view
