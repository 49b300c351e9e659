// The measured run: the console loop timed to its outputs, and its end with verdict and status.
#pragma once

#include "COutputFile.h"
#include "CReport.h"
#include "options.h"

#include <chrono>
#include <memory>
#include <vector>

class CConsole;
class CRamp;
class CRunDevices;

// Lives on the main thread. The run's clock starts at construction, before the first decoder,
// so that every output counts start-up on one clock and marks it. Each pass takes at most one
// snapshot and writes every output that is due from it; the end writes all of them from one
// last snapshot, so that the CSV sums to the report's totals.
class CMeasuredRun {
public:
    CMeasuredRun(const options& opt, CRunDevices& devices, CConsole& console);
    ~CMeasuredRun();
    CMeasuredRun(const CMeasuredRun&) = delete;
    CMeasuredRun& operator=(const CMeasuredRun&) = delete;

    // Before anything starts: false after one line on standard error.
    bool open_csv();

    // During start-up, between two decoders: writes what is due, marked as start-up.
    void starting();
    // Makes the run a ramp from the decoders created so far; the devices' owner adds the next
    // ones, one per console pass, pause_s apart, so the console keeps its turn.
    void ramp(const ramp_plan& plan, double pause_s);

    // Never returns: ends the process with the run's status (0 pass, 3 fail, 1 when an output
    // could not be written, 4 inconclusive, 128 + the signal's number when SIGINT or SIGTERM ended it).
    // --duration counts the judged part, from when every decoder's first request has gone out.
    [[noreturn]] void run();

private:
    double elapsed() const;
    // Every snapshot of the judged part is also a sample of the worst jitter.
    CReport::Result measure(double now);
    // The outputs due at now, from one snapshot.
    void write_due(double now);
    // The measuring loop woke at now for a pass that was due at due: a stall of relaysim's own.
    void watch_schedule(double due, double now);
    // The ramp's turn in a pass: adds a decoder when one is due, judges when a snapshot is due.
    void step_ramp(double now);
    bool write_row(const CReport::Result& run);
    // The live line of the interval that ends with run (the header before the first).
    void write_live(const CReport::Result& run);
    [[noreturn]] void end(CReport::Run::Ending ending);

    const options& m_opt;
    CRunDevices& m_devices;
    CConsole& m_console;
    COutputFile m_json, m_csv, m_prom;
    CReport::Result m_last_row;  // the snapshot of the CSV's previous row
    bool m_csv_whole = true;
    double m_next_row = 1;
    double m_next_sample = 0;  // of the worst jitter
    std::optional<double> m_judged_from_s;
    double m_cpu_judged = 0;  // CPU time when the judged part began
    std::vector<double> m_jitter_worst;  // per decoder, over the judged part
    double m_stall_s = 0, m_stall_at_s = 0;
    double m_next_prom = 0;
    std::optional<double> m_startup_s;
    const std::chrono::steady_clock::time_point m_start;
    const double m_cpu_start;
    const unsigned int m_cores;
    const std::string m_instance;  // the label of its Prometheus samples
    std::unique_ptr<CRamp> m_ramp;
    double m_pause_s = 0;
    const double m_live_s;  // between live lines; 0: none
    double m_next_live;
    CReport::Result m_live_before;  // the snapshot of the previous live line
    double m_live_cpu;
    double m_next_add_s = 0;
};
