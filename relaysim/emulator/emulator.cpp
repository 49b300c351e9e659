// Start-up of relaysim: settings, relays, emulated devices, then the console loop.
#include "emulator.h"

#include "CConsole.h"
#include "CExtr.h"
#include "CInstr.h"
#include "CLogger.h"
#include "CPlayer.h"
#include "devices.h"
#include "options.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {
const char* const NAME_PREFIX = "ORVANTEX - ";
const useconds_t START_PAUSE_US = 20000;
}  // namespace

void emulator::run(int argc, char** argv)
{
    srandom(static_cast<unsigned int>(time(nullptr)));
    CLogger::init("Test");
    CLogger::m_logger->m_mode_syslog = false;

    options opt;
    if (!parse_command_line(argc, argv, opt))
        exit(-1);

    // Created once and kept for the whole run: nothing is torn down.
    CPlayer* player = new CPlayer(opt.player_addr, opt.player_port);
    player->open();
    CInstr* instr = new CInstr();

    printf("ref server is : %x, project ID - %d, encoder port - %u, decoder port - %u\n",
           opt.reflector_addr, opt.project_id, opt.reflector_port, opt.decoder_port);

    std::vector<CExtr*>* streams = new std::vector<CExtr*>();
    if (opt.decoders) {
        const std::vector<unsigned long> addresses =
            opt.project_id != 0 ? take_diag_decoders(opt.count, opt.start)
                                : take_decoders(mac_list, opt.count);
        streams->reserve(addresses.size());
        for (unsigned long address : addresses) {
            const std::string name = NAME_PREFIX + std::to_string(streams->size());
            CExtr* decoder = new CExtr(name, address, player);
            printf("Adding decoder:0x%012llx\n", static_cast<unsigned long long>(address));
            streams->push_back(decoder);
            decoder->open(opt.reflector_addr, opt.decoder_port);
            decoder->start(nullptr);
            usleep(START_PAUSE_US);
        }
    }
    if (opt.encoders) {
        for (unsigned long address : take_encoders(ins_list, opt.count))
            instr->add_encoder(address, opt.reflector_addr, opt.reflector_port);
    }
    instr->start(opt.local_port);

    CConsole* console = new CConsole(*streams, *player, *instr, STDIN_FILENO);
    console->run();
}
