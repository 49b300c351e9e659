// Start-up of relaysim: settings, relays, emulated devices, then the console loop.
#include "emulator.h"

#include "CConsole.h"
#include "CExtr.h"
#include "CInstr.h"
#include "CLogger.h"
#include "CMeasuredRun.h"
#include "CPlayer.h"
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

const char* const NAME_PREFIX = "ORVANTEX - ";

// The run's objects, created once and never destroyed: their threads run until the process
// ends. Kept here, where a leak checker at exit still finds them.
struct Devices {
    std::vector<unsigned long> addresses;  // of the decoders, in creation order
    CPlayer* player = nullptr;
    CInstr* instr = nullptr;
    std::vector<CExtr*> streams;
    CConsole* console = nullptr;
    CMeasuredRun* measured = nullptr;
};
Devices* g_devices = nullptr;

// Creates and starts the run's next decoder.
void add_decoder(Devices& devices, const options& opt)
{
    std::vector<CExtr*>& streams = devices.streams;
    const unsigned long address = devices.addresses[streams.size()];
    const std::string name = NAME_PREFIX + std::to_string(streams.size());
    CExtr* decoder = new CExtr(name, address, devices.player);
    printf("Adding decoder:0x%012llx\n", static_cast<unsigned long long>(address));
    streams.push_back(decoder);
    decoder->set_clock_rate(opt.rtp_clock_rate());
    decoder->set_receive_interval(opt.receive_interval_ms);
    decoder->open(opt.reflector_addr, opt.decoder_port);
    const run_signals::WorkerMask mask;
    decoder->start(nullptr);
}

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
    std::optional<ramp_plan> ramp = opt.ramp;
    if (ramp && !fit_ramp(*ramp, decoder_addresses.size()))
        exit(-1);
    // Before anything starts: one clear line rather than a socket error per decoder.
    if (!run_limits::prepare(ramp ? ramp->max : decoder_addresses.size()))
        exit(-1);

    // Created once and kept for the whole run: nothing is torn down. The console, which a
    // measured run reads from its start, is only created here; its loop comes last.
    Devices* devices = g_devices = new Devices();
    devices->addresses = std::move(decoder_addresses);
    CPlayer* player = devices->player = new CPlayer(opt.player_addr, opt.player_port);
    CInstr* instr = devices->instr = new CInstr();
    std::vector<CExtr*>& streams = devices->streams;
    CConsole* console = devices->console = new CConsole(streams, *player, *instr, STDIN_FILENO);
    CMeasuredRun* measured = nullptr;
    if (opt.measured()) {
        measured = devices->measured = new CMeasuredRun(opt, *console);
        if (!measured->open_csv())
            exit(-1);
        // Without a measurement option a run keeps the signals' default actions.
        run_signals::take();
    }

    player->open();
    instr->stats().set_clock_rate(opt.rtp_clock_rate());

    printf("ref server is : %x, project ID - %d, encoder port - %u, decoder port - %u\n",
           opt.reflector_addr, opt.project_id, opt.reflector_port, opt.decoder_port);

    streams.reserve(devices->addresses.size());
    // A ramp starts with its first step; the measured run adds the others.
    const size_t first = ramp ? ramp->start : devices->addresses.size();
    // A measured run ended during a long start-up ends in order, with what it has.
    while (streams.size() < first && !run_signals::ending()) {
        add_decoder(*devices, opt);
        if (measured)
            measured->starting();
        if (opt.start_interval_ms != 0)
            usleep(opt.start_interval_ms * 1000);
    }
    if (opt.encoders) {
        for (unsigned long address : take_encoders(ins_list, opt.count))
            instr->add_encoder(address, opt.reflector_addr, opt.reflector_port);
    }
    {
        const run_signals::WorkerMask mask;
        instr->start(opt.local_port);
    }

    if (!measured)
        console->run();
    if (ramp)
        measured->ramp(*ramp, streams.size(), opt.start_interval_ms / 1e3,
                       [devices, &opt] { add_decoder(*devices, opt); });
    measured->run();
}
