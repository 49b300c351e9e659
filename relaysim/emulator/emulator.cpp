// Start-up of relaysim: settings, relays, emulated devices, then the console loop.
#include "emulator.h"

#include "CConsole.h"
#include "CExtr.h"
#include "CInstr.h"
#include "CLogger.h"
#include "CPlayer.h"
#include "CReport.h"
#include "devices.h"
#include "options.h"
#include "run_limits.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

const char* const NAME_PREFIX = "ORVANTEX - ";
const useconds_t START_PAUSE_US = 20000;
const double PROM_PERIOD_S = 5;

class MeasuredRun;

// The run's objects, created once and never destroyed: their threads run until the process
// ends. Kept here, where a leak checker at exit still finds them.
struct Devices {
    CPlayer* player = nullptr;
    CInstr* instr = nullptr;
    std::vector<CExtr*> streams;
    CConsole* console = nullptr;
    CReport* report = nullptr;
    MeasuredRun* measured = nullptr;
};
Devices* g_devices = nullptr;

// Set by the handlers, read by the console loop between passes.
volatile sig_atomic_t g_end_signal = 0;
volatile sig_atomic_t g_report_now = 0;

void on_end_signal(int sig)
{
    // The first signal ends the run and names its status.
    if (g_end_signal == 0)
        g_end_signal = sig;
}

void on_report_signal(int)
{
    g_report_now = 1;
}

sigset_t run_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}

// SA_RESTART spares the other calls; poll and the start-up pauses are cut short. A reader of
// standard output that goes away must not end the run before its report is written.
void take_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sa.sa_handler = on_end_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_report_signal;
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// Worker threads start with the run's signals blocked, so that the main thread (start-up,
// then the console) takes them and its waits are cut short.
template <typename Start>
void start_thread(Start start)
{
    const sigset_t set = run_signals();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &set, &old);
    start();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// One output file of a measured run. Mid-run, the first failure of a series is reported and
// the run goes on; a success ends the series.
struct Output {
    const char* option;
    std::string path;
    bool failing = false;

    bool wanted() const { return !path.empty(); }
    // ok: the write's result, errno still that of its failure.
    bool note(bool ok)
    {
        if (!ok && !failing) {
            const int err = errno;
            fprintf(stderr, "relaysim: %s: can't write %s: %s\n", option, path.c_str(),
                    strerror(err));
        }
        failing = !ok;
        return ok;
    }
};

class MeasuredRun {
public:
    MeasuredRun(const options& opt, CReport& report)
        : m_opt(opt),
          m_report(report),
          m_json{"--report", opt.report_path},
          m_csv{"--csv", opt.csv_path},
          m_prom{"--prom", opt.prom_path}
    {
    }

    // Before anything starts: false after one line on standard error.
    bool open_csv()
    {
        return !m_csv.wanted() || m_csv.note(m_report.open_csv(m_csv.path));
    }

    [[noreturn]] void run(CConsole& console);

private:
    double elapsed() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    }
    CReport::Run measure(double now) const
    {
        CReport::Run run = m_console->measure();
        run.duration_s = now;
        run.clock_rate = m_opt.rtp_clock_rate();
        run.thresholds.max_loss_percent = m_opt.max_loss_percent;
        run.thresholds.max_jitter_ms = m_opt.max_jitter_ms;
        return run;
    }
    bool write_json(const CReport::Run& run)
    {
        return m_json.note(CReport::write_atomically(m_json.path, CReport::json(run)));
    }
    bool write_prom(const CReport::Run& run)
    {
        return m_prom.note(CReport::write_atomically(m_prom.path, CReport::prometheus(run)));
    }
    bool write_row(double now, const CReport::Run& run)
    {
        // A row that fails is lost with its counts: the file no longer sums to the totals.
        const bool ok = m_csv.note(m_report.write_csv_row(now, run));
        m_csv_whole = m_csv_whole && ok;
        return ok;
    }
    [[noreturn]] void end();

    const options& m_opt;
    CReport& m_report;
    CConsole* m_console = nullptr;
    Output m_json, m_csv, m_prom;
    bool m_csv_whole = true;
    std::chrono::steady_clock::time_point m_start;
};

// Wakes at each whole second of the run for its CSV row (and at its end), every
// PROM_PERIOD_S for the Prometheus file, and when a signal arrives.
void MeasuredRun::run(CConsole& console)
{
    m_console = &console;
    m_start = std::chrono::steady_clock::now();
    double next_row = 1;
    double next_prom = 0;
    for (;;) {
        const double now = elapsed();
        if (g_end_signal || (m_opt.duration_s && now >= *m_opt.duration_s))
            end();
        if (g_report_now) {
            g_report_now = 0;
            if (m_json.wanted())
                write_json(measure(now));
        }
        if (m_prom.wanted() && now >= next_prom) {
            write_prom(measure(now));
            next_prom = (std::floor(now / PROM_PERIOD_S) + 1) * PROM_PERIOD_S;
        }
        if (now >= next_row) {
            if (m_csv.wanted())
                write_row(now, measure(now));
            next_row = std::floor(now) + 1;
        }
        double wake = next_row;
        if (m_opt.duration_s)
            wake = std::min(wake, *m_opt.duration_s);
        const double wait_ms = std::ceil((wake - now) * 1000);
        m_console->pass(static_cast<int>(std::max(1.0, std::min(wait_ms, 1000.0))));
    }
}

// One measurement for every output, so that the CSV sums to the report's totals.
void MeasuredRun::end()
{
    // What ended the run; a signal that comes while the outputs are written changes nothing.
    const int sig = g_end_signal;
    const CReport::Run run = measure(elapsed());
    printf("\n%s%s", CReport::table(run).c_str(), CReport::verdict(run).c_str());
    fflush(stdout);
    bool written = true;
    if (m_csv.wanted())
        written = write_row(run.duration_s, run) && m_csv_whole;
    if (m_json.wanted())
        written = write_json(run) && written;
    if (m_prom.wanted())
        written = write_prom(run) && written;
    // A shell reports 128 + the signal for a process that a signal ended; say the same.
    exit(sig ? 128 + sig : !written ? 1 : CReport::passed(run) ? 0 : 3);
}

}  // namespace

void emulator::run(int argc, char** argv)
{
    srandom(static_cast<unsigned int>(time(nullptr)));
    CLogger::init("Test");
    CLogger::m_logger->m_mode_syslog = false;

    options opt;
    if (!parse_command_line(argc, argv, opt))
        exit(-1);

    std::vector<unsigned long> decoder_addresses;
    if (opt.decoders)
        decoder_addresses = opt.project_id != 0 ? take_diag_decoders(opt.count, opt.start)
                                                : take_decoders(mac_list, opt.count);
    // Before anything starts: one clear line rather than a socket error per decoder.
    if (!run_limits::prepare(decoder_addresses.size()))
        exit(-1);

    Devices* devices = g_devices = new Devices();
    MeasuredRun* measured = nullptr;
    if (opt.measured()) {
        devices->report = new CReport();
        measured = devices->measured = new MeasuredRun(opt, *devices->report);
        if (!measured->open_csv())
            exit(-1);
        // Without a measurement option a run keeps the signals' default actions.
        take_signals();
    }

    // Created once and kept for the whole run: nothing is torn down.
    CPlayer* player = devices->player = new CPlayer(opt.player_addr, opt.player_port);
    player->open();
    CInstr* instr = devices->instr = new CInstr();
    instr->stats().set_clock_rate(opt.rtp_clock_rate());

    printf("ref server is : %x, project ID - %d, encoder port - %u, decoder port - %u\n",
           opt.reflector_addr, opt.project_id, opt.reflector_port, opt.decoder_port);

    std::vector<CExtr*>& streams = devices->streams;
    if (opt.decoders) {
        streams.reserve(decoder_addresses.size());
        for (unsigned long address : decoder_addresses) {
            // A measured run ended during a long start-up ends in order, with what it has.
            if (g_end_signal)
                break;
            const std::string name = NAME_PREFIX + std::to_string(streams.size());
            CExtr* decoder = new CExtr(name, address, player);
            printf("Adding decoder:0x%012llx\n", static_cast<unsigned long long>(address));
            streams.push_back(decoder);
            decoder->set_clock_rate(opt.rtp_clock_rate());
            decoder->set_receive_interval(opt.receive_interval_ms);
            decoder->open(opt.reflector_addr, opt.decoder_port);
            start_thread([decoder] { decoder->start(nullptr); });
            usleep(START_PAUSE_US);
        }
    }
    if (opt.encoders) {
        for (unsigned long address : take_encoders(ins_list, opt.count))
            instr->add_encoder(address, opt.reflector_addr, opt.reflector_port);
    }
    start_thread([&] { instr->start(opt.local_port); });

    CConsole* console = devices->console = new CConsole(streams, *player, *instr, STDIN_FILENO);
    if (!measured)
        console->run();
    measured->run(*console);
}
