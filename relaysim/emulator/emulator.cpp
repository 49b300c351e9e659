// Start-up of relaysim: settings, relays, emulated devices, then the console loop.
#include "emulator.h"

#include "CConsole.h"
#include "CLogger.h"
#include "CMeasuredRun.h"
#include "CRunDevices.h"
#include "console_text.h"
#include "devices.h"
#include "options.h"
#include "run_limits.h"
#include "run_signals.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

// The run's objects, created once and never destroyed: their threads run until the process
// ends. Kept here, where a leak checker at exit still finds them.
struct Run {
    options opt;
    CRunDevices* devices = nullptr;
    CConsole* console = nullptr;
    CMeasuredRun* measured = nullptr;
};
Run* g_run = nullptr;

// A ramp takes its decoders from those the command line gives; false after one line.
bool fit_ramp(ramp_plan& plan, size_t available)
{
    if (plan.max == 0)
        plan.max = static_cast<unsigned int>(available);
    if (plan.max <= available && plan.start <= plan.max)
        return true;
    fprintf(stderr, "relaysim: --ramp wants up to %u decoders, but -d, -n and the lists give %zu\n",
            std::max(plan.start, plan.max), available);
    return false;
}

}  // namespace

void emulator::run(int argc, char** argv)
{
    if (wants_help(argc, argv)) {
        help();
        exit(0);
    }
    srandom(static_cast<unsigned int>(time(nullptr)));
    CLogger::init("Test");
    CLogger::m_logger->m_mode_syslog = false;

    Run* run = g_run = new Run();
    options& opt = run->opt;
    if (!parse_command_line(argc, argv, opt))
        exit(-1);

    std::vector<unsigned long> decoder_addresses;
    if (opt.decoders)
        decoder_addresses = opt.project_id != 0 ? take_diag_decoders(opt.count, opt.start)
                                                : take_decoders(opt.mac_list, opt.count);
    std::optional<ramp_plan> ramp = opt.ramp;
    if (ramp && !fit_ramp(*ramp, decoder_addresses.size()))
        exit(-1);
    // Before anything starts: one clear line rather than a socket error per decoder.
    if (!run_limits::prepare(ramp ? ramp->max : decoder_addresses.size()))
        exit(-1);

    // Created once and kept for the whole run: nothing is torn down. The console, which a
    // measured run reads from its start, is only created here; its loop comes last.
    CRunDevices* devices = run->devices =
        new CRunDevices(opt, std::move(decoder_addresses),
                        opt.encoders ? take_encoders(opt.ins_list, opt.count) : std::vector<unsigned long>());
    CConsole* console = run->console = new CConsole(*devices, STDIN_FILENO);
    CMeasuredRun* measured = nullptr;
    if (opt.measured()) {
        measured = run->measured = new CMeasuredRun(opt, *devices, *console);
        if (!measured->open_csv())
            exit(-1);
        // Without a measurement option a run keeps the signals' default actions.
        run_signals::take();
        // Read in logs and between live lines: every message a whole line.
        console_text::set_whole_lines(true);
    }
    // The local port is bound before any decoder exists, so none can take it, and a port
    // already in use is refused instead of measured as a stream that never comes.
    if (!devices->open())
        exit(-1);

    printf("ref server is : %x, project ID - %d, encoder port - %u, decoder port - %u\n",
           opt.reflector_addr, opt.project_id, opt.reflector_port, opt.decoder_port);

    // A ramp starts with its first step; the measured run adds the others.
    const size_t first = ramp ? ramp->start : devices->available();
    const useconds_t pause_us = opt.start_interval_ms * 1000;
    // A measured run ended during a long start-up ends in order, with what it has.
    while (devices->created() < first && !run_signals::ending()) {
        devices->add_decoder();
        if (measured)
            measured->starting();
        if (pause_us != 0)
            usleep(pause_us);
    }
    devices->start_local();

    if (!measured)
        console->run();
    if (ramp)
        measured->ramp(*ramp, opt.start_interval_ms / 1e3);
    measured->run();
}
