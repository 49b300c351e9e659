// Command line of relaysim: its settings and the usage text.
#include "options.h"

#include "devices.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const CONFIG_SERVER_HOST = "config.orvantex.net";

void usage(const std::string& program)
{
    printf("Usage:%s {-l local_port} {-r ref_server:port} {-p player:port} [-pd QRTP_port] "
           "[-d encoder_list.txt] [-e encoder_list.txt]\n",
           program.c_str());
    printf("{-l local_port}:local udp port to listen for unicast audio\n");
    printf("{-r ref_server:port}:reflector server and listening port for audio\n");
    printf("{-p player:port}: an audio player in local network e.g. 127.0.0.1:14590. "
           "E.g. in vlc rtp://@:23456\n");
    printf("{-pd port_decoders}: a port on ref server where a QRTP request can sent. "
           "If not set, reflector server port is used\n");
    printf("[-n count]: no of encoder and decode to emulate, if available in list. "
           "Must be given before options e or d\n");
    printf("[-st start_at]: Use this to select a starting point from the mac list, "
           "different than 0\n");
    printf("[-d decoder_list.txt]: list of decoders files. if not set, some defaults are used\n");
    printf("[-e encoder_list.txt]: list of encoders files\n");
    printf("{-x project_id}: Emulate a diagnostic decoder to connect to the given project ID\n");
}

namespace {

long number(const char* text)
{
    return strtol(text, nullptr, 10);
}

// host:port; false (nothing changed) without ':' or with ':' first.
bool host_and_port(const std::string& value, std::string& host, unsigned short& port)
{
    size_t colon = value.find(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    host = value.substr(0, colon);
    port = static_cast<unsigned short>(number(value.c_str() + colon + 1));
    return true;
}

void address_option(const std::string& value, unsigned int& addr, unsigned short& port)
{
    std::string host;
    unsigned short p = 0;
    if (host_and_port(value, host, p)) {
        addr = get_ip_address(host);
        port = p;
    }
}

}  // namespace

bool parse_command_line(int argc, char** argv, options& opt)
{
    opt.config_host = CONFIG_SERVER_HOST;
    if (argc < 2) {
        usage(argv[0]);
        return false;
    }
    int i = 1;
    while (i < argc) {
        const std::string word = argv[i - 1];
        const char* value = argv[i];
        printf("Current Options:%s\n", word.c_str());
        int step = 2;
        if (word == "-l") {
            opt.local_port = static_cast<unsigned short>(number(value));
        } else if (word == "-n") {
            opt.count = static_cast<int>(number(value));
        } else if (word == "-st") {
            opt.start = static_cast<int>(number(value));
        } else if (word == "-pd") {
            opt.decoder_port = static_cast<unsigned short>(number(value));
        } else if (word == "-x") {
            opt.project_id = static_cast<unsigned short>(number(value));
        } else if (word == "-r") {
            address_option(value, opt.reflector_addr, opt.reflector_port);
        } else if (word == "-p") {
            address_option(value, opt.player_addr, opt.player_port);
        } else if (word == "-c") {
            std::string host;
            unsigned short dropped = 0;
            if (host_and_port(value, host, dropped))
                opt.config_host = host;
        } else if (word == "-d" || word == "-e") {
            const bool decoders = word == "-d";
            (decoders ? opt.decoders : opt.encoders) = true;
            if (value[0] == '-') {
                step = 1;
            } else {
                printf(decoders ? "reading decoder mac list from - %s\n"
                                : "reading encoder mac list from - %s\n",
                       value);
                read_mac_list(value, decoders ? mac_list : ins_list, opt.count,
                              static_cast<unsigned short>(opt.start));
            }
        } else {
            step = 1;
        }
        i += step;
    }
    if (opt.local_port == 0) {
        usage(argv[0]);
        return false;
    }
    if (opt.decoder_port == 0)
        opt.decoder_port = opt.reflector_port;
    if (opt.project_id != 0)
        combine_project_id(opt.project_id);
    return true;
}
