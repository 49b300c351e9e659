// Command line of relaysim: its settings and the usage text.
#include "options.h"

#include "COutputFile.h"
#include "CRtpStats.h"
#include "devices.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// A whole word in plain decimal notation ("2", "0.5", "1e3"); no blanks, hex, inf or nan.
bool decimal(const char* text, double& out)
{
    if (*text == '\0' || strspn(text, "0123456789.+-eE") != strlen(text))
        return false;
    errno = 0;
    char* end = nullptr;
    const double v = strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

bool positive_whole(const char* text, unsigned int& out)
{
    if (*text == '\0' || strspn(text, "0123456789") != strlen(text))
        return false;
    errno = 0;
    const unsigned long v = strtoul(text, nullptr, 10);
    if (errno == ERANGE || v == 0 || v > UINT_MAX)
        return false;
    out = static_cast<unsigned int>(v);
    return true;
}

// START:STEP:HOLD_SECONDS[:MAX]; whole numbers from 1, MAX at least START.
bool ramp(const char* text, ramp_plan& out)
{
    std::vector<std::string> parts;
    for (const char* p = text;; ++p) {
        const char* colon = strchr(p, ':');
        parts.emplace_back(p, colon ? colon : p + strlen(p));
        if (!colon)
            break;
        p = colon;
    }
    ramp_plan plan;
    if ((parts.size() != 3 && parts.size() != 4) || !positive_whole(parts[0].c_str(), plan.start) ||
        !positive_whole(parts[1].c_str(), plan.step) || !decimal(parts[2].c_str(), plan.hold_s) ||
        plan.hold_s < ramp_plan::MIN_HOLD_S ||
        (parts.size() == 4 && (!positive_whole(parts[3].c_str(), plan.max) || plan.max < plan.start)))
        return false;
    out = plan;
    return true;
}

const char* const MEASURE_OPTIONS[] = {"--duration", "--max-loss", "--max-jitter", "--clock-rate",
                                       "--report",   "--csv",      "--prom",       "--ramp"};

// Checked as strictly, though they do not make a run a measured one.
const char* const RECEIVE_INTERVAL = "--receive-interval";
const char* const START_INTERVAL = "--start-interval";

bool is_measure_option(const std::string& word)
{
    for (const char* name : MEASURE_OPTIONS)
        if (word == name)
            return true;
    return false;
}

// Always false, after the one line that names the option; value is null when it is missing.
bool refuse(const std::string& option, const char* needs, const char* value)
{
    if (value)
        fprintf(stderr, "relaysim: %s needs %s, not \"%s\"\n", option.c_str(), needs, value);
    else
        fprintf(stderr, "relaysim: %s needs %s\n", option.c_str(), needs);
    return false;
}

// --receive-interval or --start-interval.
bool interval_option(const std::string& option, const char* value, options& opt)
{
    unsigned int ms = 0;
    if (!value || !(strcmp(value, "0") == 0 || positive_whole(value, ms)) ||
        ms > options::MAX_RECEIVE_INTERVAL_MS)
        return refuse(option, "a number of milliseconds from 0 to 1000", value);
    (option == START_INTERVAL ? opt.start_interval_ms : opt.receive_interval_ms) = ms;
    return true;
}

// The measurement options are checked strictly, unlike the others: a run whose verdict a
// script relies on must not start with a threshold or an output it did not ask for.
bool measure_option(const std::string& option, const char* value, options& opt)
{
    double v = 0;
    if (option == "--duration") {
        if (!value || !decimal(value, v) || !(v > 0))
            return refuse(option, "a number of seconds greater than 0", value);
        opt.duration_s = v;
    } else if (option == "--max-loss") {
        if (!value || !decimal(value, v) || v < 0 || v > 100)
            return refuse(option, "a loss percentage from 0 to 100", value);
        opt.max_loss_percent = v;
    } else if (option == "--max-jitter") {
        if (!value || !decimal(value, v) || v < 0)
            return refuse(option, "a number of milliseconds, 0 or more", value);
        opt.max_jitter_ms = v;
    } else if (option == "--clock-rate") {
        unsigned int hz = 0;
        if (!value || !positive_whole(value, hz))
            return refuse(option, "a whole number of Hz greater than 0", value);
        opt.clock_rate = hz;
    } else if (option == "--ramp") {
        ramp_plan plan;
        if (!value || !ramp(value, plan))
            return refuse(option,
                          "START:STEP:HOLD_SECONDS[:MAX], whole numbers of decoders from 1 (MAX at "
                          "least START) and a hold of 3 s or more",
                          value);
        opt.ramp = plan;
    } else {
        std::string& path = option == "--report" ? opt.report_path
                            : option == "--csv"  ? opt.csv_path
                                                 : opt.prom_path;
        // A value that looks like an option is more likely a forgotten file name.
        if (!value || value[0] == '\0' || value[0] == '-')
            return refuse(option, "a file name", value);
        if (!COutputFile::can_write(value)) {
            const int err = errno;
            fprintf(stderr, "relaysim: %s: can't write %s: %s\n", option.c_str(), value,
                    strerror(err));
            return false;
        }
        // Each output is written whole in its turn: one file for two would keep only the last.
        const struct {
            const char* name;
            const std::string& path;
        } others[] = {{"--report", opt.report_path}, {"--csv", opt.csv_path}, {"--prom", opt.prom_path}};
        for (const auto& other : others) {
            if (&other.path != &path && !other.path.empty() && COutputFile::same_file(other.path, value)) {
                fprintf(stderr, "relaysim: %s: %s is already the file of %s\n", option.c_str(), value,
                        other.name);
                return false;
            }
        }
        path = value;
    }
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

bool options::measured() const
{
    return duration_s || max_loss_percent || max_jitter_ms || clock_rate || !report_path.empty() ||
           !csv_path.empty() || !prom_path.empty() || ramp;
}

unsigned int options::rtp_clock_rate() const
{
    return clock_rate.value_or(CRtpStats::DEFAULT_CLOCK_RATE);
}

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
        } else if (word == RECEIVE_INTERVAL || word == START_INTERVAL) {
            if (!interval_option(word, value, opt))
                return false;
        } else if (is_measure_option(word)) {
            if (!measure_option(word, value, opt))
                return false;
        } else {
            step = 1;
        }
        i += step;
    }
    // The last word is never examined; left there, a measurement option has lost its value.
    if (i == argc && is_measure_option(argv[argc - 1])) {
        measure_option(argv[argc - 1], nullptr, opt);
        return false;
    }
    const std::string last = argv[argc - 1];
    if (i == argc && (last == RECEIVE_INTERVAL || last == START_INTERVAL))
        return interval_option(last, nullptr, opt);
    if (opt.local_port == 0) {
        usage(argv[0]);
        return false;
    }
    if (opt.ramp && opt.duration_s) {
        fprintf(stderr, "relaysim: --ramp ends by itself; leave out --duration\n");
        return false;
    }
    if (opt.decoder_port == 0)
        opt.decoder_port = opt.reflector_port;
    if (opt.project_id != 0)
        combine_project_id(opt.project_id);
    return true;
}
