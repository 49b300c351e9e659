// The measured run: the console loop timed to its outputs, and its end with verdict and status.
#pragma once

#include "COutputFile.h"
#include "CReport.h"
#include "options.h"

#include <chrono>

class CConsole;

// Lives on the main thread. Each pass takes at most one snapshot and writes every output that
// is due from it; the end writes all of them from one last snapshot, so that the CSV sums to
// the report's totals.
class CMeasuredRun {
public:
    explicit CMeasuredRun(const options& opt);
    CMeasuredRun(const CMeasuredRun&) = delete;
    CMeasuredRun& operator=(const CMeasuredRun&) = delete;

    // Before anything starts: false after one line on standard error.
    bool open_csv();

    // Never returns: ends the process with the run's status (0 pass, 3 fail, 1 when an output
    // could not be written, 128 + the signal's number when SIGINT or SIGTERM ended it).
    [[noreturn]] void run(CConsole& console);

private:
    double elapsed() const;
    CReport::Run measure(double now) const;
    bool write_row(const CReport::Run& run);
    [[noreturn]] void end();

    const options& m_opt;
    CConsole* m_console = nullptr;
    COutputFile m_json, m_csv, m_prom;
    CReport::Run m_last_row;  // the snapshot of the CSV's previous row
    bool m_csv_whole = true;
    std::chrono::steady_clock::time_point m_start;
    double m_cpu_start = 0;
    unsigned int m_cores = 0;
};
