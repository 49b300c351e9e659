// The measured run: the console loop timed to its outputs, and its end with verdict and status.
#include "CMeasuredRun.h"

#include "CConsole.h"
#include "CRamp.h"
#include "CRunDevices.h"
#include "live_view.h"
#include "report_formats.h"
#include "run_signals.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {
const double PROM_PERIOD_S = 5;

// CPU time of the whole process, every thread, in seconds.
double cpu_seconds()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The cores this process may run on: under taskset or a CPU-limited container that is fewer
// than the machine has, and the share must not be understated.
unsigned int online_cores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned int>(CPU_COUNT(&set));
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned int>(n) : 0;
}
}  // namespace

CMeasuredRun::CMeasuredRun(const options& opt, CRunDevices& devices, CConsole& console)
    : m_opt(opt),
      m_devices(devices),
      m_console(console),
      m_json("--report", opt.report_path),
      m_csv("--csv", opt.csv_path),
      m_prom("--prom", opt.prom_path),
      m_start(std::chrono::steady_clock::now()),
      m_cpu_start(cpu_seconds()),
      m_cores(online_cores()),
      m_instance(report_formats::prom_instance(opt.prom_path)),
      // A terminal is watched; a log is read later, and a line a second would drown it.
      m_live_s(opt.interval_s.value_or(isatty(STDOUT_FILENO) ? 1 : 10)),
      m_next_live(m_live_s),
      m_live_cpu(m_cpu_start)
{
}

CMeasuredRun::~CMeasuredRun() = default;

void CMeasuredRun::ramp(const ramp_plan& plan, double pause_s)
{
    CReport::Thresholds thresholds;
    thresholds.max_loss_percent = m_opt.max_loss_percent;
    thresholds.max_jitter_ms = m_opt.max_jitter_ms;
    thresholds.max_delay_ms = m_opt.max_delay_ms;
    m_ramp.reset(new CRamp(plan, thresholds, m_cores));
    m_pause_s = pause_s;
}

bool CMeasuredRun::open_csv()
{
    return !m_csv.wanted() || m_csv.create(report_formats::csv_header());
}

double CMeasuredRun::elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

CReport::Run CMeasuredRun::measure(double now) const
{
    CReport::Run run = m_devices.measure();
    run.duration_s = now;
    run.startup_s = m_startup_s;
    run.clock_rate = m_opt.rtp_clock_rate();
    run.thresholds.max_loss_percent = m_opt.max_loss_percent;
    run.thresholds.max_jitter_ms = m_opt.max_jitter_ms;
    run.thresholds.max_delay_ms = m_opt.max_delay_ms;
    run.instance = m_instance;
    if (m_ramp)
        run.ramp = m_ramp->state();
    run.cores = m_cores;
    if (now > 0 && m_cores != 0)
        run.cpu_percent = 100.0 * (cpu_seconds() - m_cpu_start) / (now * m_cores);
    return run;
}

void CMeasuredRun::step_ramp(double now)
{
    if (m_devices.created() < m_ramp->wanted() && now >= m_next_add_s) {
        m_devices.add_decoder();
        m_next_add_s = now + m_pause_s;
    }
    m_ramp->created(m_devices.created(), now);
    if (now >= m_ramp->due())
        m_ramp->observe(measure(now), cpu_seconds());
}

bool CMeasuredRun::write_row(const CReport::Run& run)
{
    // A row that fails is lost with its counts: the file no longer sums to the totals.
    const bool ok = m_csv.append(report_formats::csv_row(run, m_last_row));
    m_last_row = run;
    m_csv_whole = m_csv_whole && ok;
    return ok;
}

// A CSV row at each whole second of the run, the Prometheus file every PROM_PERIOD_S, the
// report when SIGUSR1 asked for it.
void CMeasuredRun::write_due(double now)
{
    const bool json_due = run_signals::report_asked() && m_json.wanted();
    const bool prom_due = m_prom.wanted() && now >= m_next_prom;
    const bool row_due = m_csv.wanted() && now >= m_next_row;
    const bool live_due = m_live_s > 0 && now >= m_next_live;
    if (json_due || prom_due || row_due || live_due) {
        const CReport::Run run = measure(now);
        if (live_due)
            write_live(run);
        if (json_due)
            m_json.replace(report_formats::json(run));
        if (prom_due)
            m_prom.replace(report_formats::prometheus(run));
        if (row_due)
            write_row(run);
    }
    if (prom_due)
        m_next_prom = (std::floor(now / PROM_PERIOD_S) + 1) * PROM_PERIOD_S;
    if (now >= m_next_row)
        m_next_row = std::floor(now) + 1;
    if (live_due)
        m_next_live = (std::floor(now / m_live_s) + 1) * m_live_s;
}

void CMeasuredRun::write_live(const CReport::Run& run)
{
    const double cpu = cpu_seconds();
    const double seconds = run.duration_s - m_live_before.duration_s;
    const double cpu_percent =
        seconds > 0 && m_cores != 0 ? 100.0 * (cpu - m_live_cpu) / (seconds * m_cores) : 0;
    if (m_live_before.duration_s == 0)
        printf("%s", live_view::header());
    printf("%s", live_view::line(run, m_live_before, cpu_percent).c_str());
    fflush(stdout);
    m_live_before = run;
    m_live_cpu = cpu;
}

void CMeasuredRun::starting()
{
    write_due(elapsed());
}

void CMeasuredRun::run()
{
    m_startup_s = elapsed();
    const double end_at = m_opt.duration_s ? *m_startup_s + *m_opt.duration_s : 0;
    for (;;) {
        const double now = elapsed();
        if (m_ramp)
            step_ramp(now);
        if (run_signals::ending() || (m_opt.duration_s && now >= end_at) ||
            (m_ramp && m_ramp->status() >= 0))
            end();
        write_due(now);
        double wake = m_next_row;
        if (m_live_s > 0)
            wake = std::min(wake, m_next_live);
        if (m_opt.duration_s)
            wake = std::min(wake, end_at);
        if (m_ramp)
            wake = std::min({wake, m_ramp->due(),
                             m_devices.created() < m_ramp->wanted() ? m_next_add_s : wake});
        const double wait_ms = std::ceil((wake - now) * 1000);
        m_console.pass(static_cast<int>(std::max(1.0, std::min(wait_ms, 1000.0))));
    }
}

void CMeasuredRun::end()
{
    // What ended the run; a signal that comes while the outputs are written changes nothing.
    const int sig = run_signals::ending();
    const CReport::Run run = measure(elapsed());
    printf("\n%s%s%s", report_formats::table(run).c_str(), report_formats::instrument(run).c_str(),
           (m_ramp ? report_formats::ramp(run) : report_formats::verdict(run)).c_str());
    fflush(stdout);
    bool written = true;
    if (m_csv.wanted())
        written = write_row(run) && m_csv_whole;
    if (m_json.wanted())
        written = m_json.replace(report_formats::json(run)) && written;
    if (m_prom.wanted())
        written = m_prom.replace(report_formats::prometheus(run)) && written;
    // A shell reports 128 + the signal for a process that a signal ended; say the same.
    const int verdict = m_ramp ? m_ramp->status() : CReport::status(run);
    exit(sig ? 128 + sig : !written ? 1 : verdict);
}
