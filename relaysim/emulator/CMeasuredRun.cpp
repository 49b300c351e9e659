// The measured run: the console loop timed to its outputs, and its end with verdict and status.
#include "CMeasuredRun.h"

#include "CConsole.h"
#include "CExtr.h"
#include "CRamp.h"
#include "CRunDevices.h"
#include "live_view.h"
#include "report_formats.h"
#include "run_signals.h"

#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {
const double PROM_PERIOD_S = 5;
const double JITTER_SAMPLE_S = 1;
// A decoder's first request leaves after its first wait for input: the judged part starts
// when the last decoder's has, so that a short run is judged on what could have arrived.
const double FIRST_REQUEST_S = CExtr::POLL_TIMEOUT / 1000.0 + 0.25;
// A stream still flowing may look silent for a batched decoder's receive interval, plus
// scheduling: only a longer silence counts what it should have delivered.
const double SILENCE_GRACE_S = 0.5;

long long realtime_ns()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

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

CReport::Result CMeasuredRun::measure(double now)
{
    CReport::Run run = m_devices.measure();
    const long long until_ns = realtime_ns();
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
    run.requested_s = m_opt.duration_s;
    run.stall_s = m_stall_s;
    run.stall_at_s = m_stall_at_s;
    const bool judged = m_judged_from_s && now >= *m_judged_from_s;
    if (judged)
        run.judged_from_s = m_judged_from_s;
    const double from_s = judged ? *m_judged_from_s : 0;
    const double cpu_from = judged ? m_cpu_judged : m_cpu_start;
    if (now > from_s && m_cores != 0)
        run.cpu_percent = 100.0 * (cpu_seconds() - cpu_from) / ((now - from_s) * m_cores);
    const double grace_s = SILENCE_GRACE_S + m_opt.receive_interval_ms / 1000.0;
    if (m_jitter_worst.size() < run.decoders.size())
        m_jitter_worst.resize(run.decoders.size(), 0);
    for (size_t i = 0; i < run.decoders.size(); ++i) {
        CReport::Decoder& d = run.decoders[i];
        d.lost_silent = CReport::silent_tail(d.stats, until_ns, grace_s);
        if (judged)
            m_jitter_worst[i] = std::max(m_jitter_worst[i], d.stats.jitter_ms);
        d.jitter_ms_worst = m_jitter_worst[i];
    }
    return CReport::result(std::move(run));
}

void CMeasuredRun::watch_schedule(double due, double now)
{
    const double late = now - due;
    if (late > m_stall_s) {
        m_stall_s = late;
        m_stall_at_s = due;
    }
}

void CMeasuredRun::step_ramp(double now)
{
    if (m_devices.created() < m_ramp->wanted() && now >= m_next_add_s) {
        m_devices.add_decoder();
        m_next_add_s = now + m_pause_s;
    }
    m_ramp->created(m_devices.created(), now);
    if (now >= m_ramp->due())
        m_ramp->observe(measure(now).run, cpu_seconds());
}

bool CMeasuredRun::write_row(const CReport::Result& run)
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
    const bool sample_due = m_judged_from_s && now >= *m_judged_from_s && now >= m_next_sample;
    if (json_due || prom_due || row_due || live_due || sample_due) {
        const CReport::Result run = measure(now);
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
    if (sample_due)
        m_next_sample = now + JITTER_SAMPLE_S;
    if (live_due)
        m_next_live = (std::floor(now / m_live_s) + 1) * m_live_s;
}

void CMeasuredRun::write_live(const CReport::Result& run)
{
    const double cpu = cpu_seconds();
    const double seconds = run.run.duration_s - m_live_before.run.duration_s;
    const double cpu_percent =
        seconds > 0 && m_cores != 0 ? 100.0 * (cpu - m_live_cpu) / (seconds * m_cores) : 0;
    if (m_live_before.run.duration_s == 0)
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
    m_judged_from_s = *m_startup_s + FIRST_REQUEST_S;
    m_next_sample = *m_judged_from_s;
    const double end_at = m_opt.duration_s ? *m_judged_from_s + *m_opt.duration_s : 0;
    bool judging = false;
    double due = *m_startup_s;
    for (;;) {
        const double now = elapsed();
        watch_schedule(due, now);
        if (!judging && now >= *m_judged_from_s) {
            judging = true;
            m_cpu_judged = cpu_seconds();
        }
        if (m_ramp)
            step_ramp(now);
        if (run_signals::ending())
            end(CReport::Run::SIGNAL);
        if (m_opt.duration_s && now >= end_at)
            end(CReport::Run::DURATION);
        if (m_ramp && m_ramp->status() >= 0)
            end(CReport::Run::RAMP);
        write_due(now);
        double wake = std::min(m_next_row, m_next_sample);
        if (m_live_s > 0)
            wake = std::min(wake, m_next_live);
        if (m_opt.duration_s)
            wake = std::min(wake, end_at);
        if (m_ramp)
            wake = std::min({wake, m_ramp->due(),
                             m_devices.created() < m_ramp->wanted() ? m_next_add_s : wake});
        const double wait_ms = std::max(1.0, std::min(std::ceil((wake - now) * 1000), 1000.0));
        due = now + wait_ms / 1000;
        m_console.pass(static_cast<int>(wait_ms));
    }
}

void CMeasuredRun::end(CReport::Run::Ending ending)
{
    // What ended the run; a signal that comes while the outputs are written changes nothing.
    const int sig = run_signals::ending();
    CReport::Run snapshot = measure(elapsed()).run;
    snapshot.ending = sig ? CReport::Run::SIGNAL : ending;
    snapshot.signal = sig;
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    snapshot.ended_at_unix_s = wall.tv_sec + wall.tv_nsec / 1e9;
    const CReport::Result run = CReport::result(std::move(snapshot));
    printf("\n%s%s%s", report_formats::table(run).c_str(), report_formats::instrument(run).c_str(),
           (m_ramp ? report_formats::ramp(run) + report_formats::verdict(run)
                   : report_formats::verdict(run)).c_str());
    fflush(stdout);
    bool written = true;
    if (m_csv.wanted())
        written = write_row(run) && m_csv_whole;
    if (m_json.wanted())
        written = m_json.replace(report_formats::json(run)) && written;
    if (m_prom.wanted())
        written = m_prom.replace(report_formats::prometheus(run)) && written;
    // A signal's status names the signal; an output that could not be written says so first.
    exit(!written && !sig ? 1 : run.verdict.exit_status);
}
