// The ramp of a measured run: how many decoders it should have, and each step's verdict.
#pragma once

#include "CReport.h"
#include "options.h"

#include <string>
#include <vector>

// Lives on the main thread, driven by snapshots on the run's clock (a test drives it with
// made-up ones). A step starts when its last decoder has been created, settles until all its
// decoders are online (at most half its hold), and is judged on the rest of its hold alone.
class CRamp {
public:
    // plan.max resolved: at least plan.start.
    CRamp(const ramp_plan& plan, const CReport::Thresholds& thresholds, unsigned int cores);

    // Decoders the run should have now.
    size_t wanted() const { return m_ramp.decoders; }
    // Tells that the run has created this many decoders; a step starts when all are there.
    void created(size_t count, double now);
    // When the ramp next needs a snapshot, on the run's clock; never before a step starts.
    double due() const;
    // run.duration_s is now; cpu_s is relaysim's CPU time so far.
    void observe(const CReport::Run& run, double cpu_s);

    const CReport::Ramp& state() const { return m_ramp; }
    // 0 when the last step reached the plan's maximum and held, 3 when a step broke, 4 when
    // relaysim reached its own limit first; -1 while the ramp is under way.
    int status() const;

private:
    enum Phase { CREATING, SETTLING, STEADY, ENDED };
    void begin_steady(const CReport::Run& run, double cpu_s);
    void judge(const CReport::Run& run, double cpu_s);

    const ramp_plan m_plan;
    const CReport::Thresholds m_thresholds;
    const unsigned int m_cores;
    CReport::Ramp m_ramp;
    Phase m_phase = CREATING;
    double m_created_s = 0;  // the step's last decoder created
    double m_last_s = 0;     // the last snapshot
    // The steady part's start: per decoder received, and the totals.
    std::vector<unsigned long long> m_received_from;
    unsigned long long m_expected_from = 0, m_lost_from = 0, m_dropped_from = 0;
    double m_cpu_from = 0;
    double m_from_s = 0;
    double m_jitter_max = 0;
    CDelayStats::Snapshot m_delay_from;  // every decoder's delay at the steady part's start
};
