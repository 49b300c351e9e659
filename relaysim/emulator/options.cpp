// Command line of relaysim: its settings, its one table of options, the usage and help texts.
#include "options.h"

#include "COutputFile.h"
#include "CRtpStats.h"
#include "devices.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

const char* const CONFIG_SERVER_HOST = "config.orvantex.net";

namespace {

const char* const USAGE_FIRST =
    "Usage:%s {-l local_port} {-r ref_server:port} {-p player:port} [-pd QRTP_port] "
    "[-d encoder_list.txt] [-e encoder_list.txt]\n";
const int HELP_COLUMN = 22;
const char* const SEE_HELP = "Every option: %s --help, or man relaysim\n";

// Always false, after the one line that names the option; value is null when it is missing.
bool refuse(const char* option, const char* needs, const char* value)
{
    if (value)
        fprintf(stderr, "relaysim: %s needs %s, not \"%s\"\n", option, needs, value);
    else
        fprintf(stderr, "relaysim: %s needs %s\n", option, needs);
    return false;
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

// A whole word that is a decimal integer from lo to hi (leading blanks and a sign allowed,
// as strtol takes them); nothing cut to width, nothing after the digits.
bool integer(const char* text, long lo, long hi, long& out)
{
    const char* p = text;
    while (*p == ' ' || *p == '\t')
        ++p;
    const char* digits = p + ((*p == '-' || *p == '+') ? 1 : 0);
    if (*digits < '0' || *digits > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool positive_whole(const char* text, unsigned int& out)
{
    long v = 0;
    if (strspn(text, "0123456789") != strlen(text) || !integer(text, 1, UINT_MAX, v))
        return false;
    out = static_cast<unsigned int>(v);
    return true;
}

template <typename T>
bool number_option(const char* option, const char* value, long lo, long hi, const char* needs, T& out)
{
    long v = 0;
    if (!integer(value, lo, hi, v))
        return refuse(option, needs, value);
    out = static_cast<T>(v);
    return true;
}

bool port(const char* option, const char* value, unsigned short& out)
{
    return number_option(option, value, 0, 65535, "a port from 0 to 65535", out);
}

bool count(const char* option, const char* value, int& out)
{
    return number_option(option, value, INT_MIN, INT_MAX, "a whole number", out);
}

// host:port, the host resolved now: an address nobody can reach is refused before anything
// starts, rather than measured as a reflector that sends nothing.
bool host_and_port(const char* option, const char* value, unsigned int& addr, unsigned short& out)
{
    const char* colon = strchr(value, ':');
    long p = 0;
    if (!colon || colon == value || !integer(colon + 1, 1, 65535, p) || colon[1] == ' ')
        return refuse(option, "host:port with a port from 1 to 65535", value);
    const std::string host(value, colon);
    in_addr literal;
    const unsigned int resolved = get_ip_address(host);
    if (resolved == 0 && inet_aton(host.c_str(), &literal) == 0) {
        fprintf(stderr, "relaysim: %s: can't resolve the host \"%s\"\n", option, host.c_str());
        return false;
    }
    addr = resolved;
    out = static_cast<unsigned short>(p);
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

// "-d"/"-e" with a file: a file that can't be read, or that gives no address, is refused,
// not replaced by the built-in list.
bool list_file(const char* option, const char* path, const options& opt, std::vector<unsigned long>& list)
{
    printf(option[1] == 'd' ? "reading decoder mac list from - %s\n"
                            : "reading encoder mac list from - %s\n",
           path);
    struct stat st;
    const int fd = ::open(path, O_RDONLY);
    const int err = errno;
    if (fd < 0 || fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        fprintf(stderr, "relaysim: %s: can't read the list file %s: %s\n", option, path,
                fd < 0 ? strerror(err) : "it is a folder");
        return false;
    }
    ::close(fd);
    read_mac_list(path, list, opt.count, static_cast<unsigned short>(opt.start));
    if (list.empty()) {
        if (opt.start > 1)
            fprintf(stderr, "relaysim: %s: the list file %s holds no device address from line %d on\n",
                    option, path, opt.start);
        else
            fprintf(stderr, "relaysim: %s: the list file %s holds no device address\n", option, path);
        return false;
    }
    return true;
}

bool output_path(const char* option, const char* value, options& opt, std::string& path)
{
    // A value that looks like an option is more likely a forgotten file name.
    if (value[0] == '\0' || value[0] == '-')
        return refuse(option, "a file name", value);
    if (!COutputFile::can_write(value)) {
        const int err = errno;
        fprintf(stderr, "relaysim: %s: can't write %s: %s\n", option, value, strerror(err));
        return false;
    }
    // Each output is written whole in its turn: one file for two would keep only the last.
    const struct {
        const char* name;
        const std::string& path;
    } outputs[] = {{"--report", opt.report_path}, {"--csv", opt.csv_path}, {"--prom", opt.prom_path}};
    for (const auto& other : outputs) {
        if (&other.path != &path && !other.path.empty() && COutputFile::same_file(other.path, value)) {
            fprintf(stderr, "relaysim: %s: %s is already the file of %s\n", option, value, other.name);
            return false;
        }
    }
    path = value;
    return true;
}

bool decimal_option(const char* option, const char* value, double lo, double hi, bool lo_open,
                    const char* needs, std::optional<double>& out)
{
    double v = 0;
    if (!decimal(value, v) || v < lo || v > hi || (lo_open && v == lo))
        return refuse(option, needs, value);
    out = v;
    return true;
}

struct option_row {
    const char* name;
    // The value word in the help text; null for an option whose file is optional ("-d", "-e").
    const char* value;
    // Checks and sets; false after one line on standard error. value is null for an optional
    // value that was not given.
    bool (*apply)(const char* option, const char* value, options& opt);
    const char* help;
    // One of the document's usage lines (null: the option is not in the usage text).
    const char* usage;
    // Makes the run a measured one.
    bool measuring;
};

const option_row OPTIONS[] = {
    {"-l", "PORT", [](const char* o, const char* v, options& opt) { return port(o, v, opt.local_port); },
     "local UDP port the local RTP stream arrives on",
     "{-l local_port}:local udp port to listen for unicast audio\n", false},
    {"-r", "HOST:PORT",
     [](const char* o, const char* v, options& opt) {
         return host_and_port(o, v, opt.reflector_addr, opt.reflector_port);
     },
     "reflector address and encoder port",
     "{-r ref_server:port}:reflector server and listening port for audio\n", false},
    {"-p", "HOST:PORT",
     [](const char* o, const char* v, options& opt) {
         return host_and_port(o, v, opt.player_addr, opt.player_port);
     },
     "RTP player that hears the selected decoder",
     "{-p player:port}: an audio player in local network e.g. 127.0.0.1:14590. "
     "E.g. in vlc rtp://@:23456\n",
     false},
    {"-pd", "PORT", [](const char* o, const char* v, options& opt) { return port(o, v, opt.decoder_port); },
     "reflector's decoder port (default: the -r port)",
     "{-pd port_decoders}: a port on ref server where a QRTP request can sent. "
     "If not set, reflector server port is used\n",
     false},
    {"-n", "COUNT", [](const char* o, const char* v, options& opt) { return count(o, v, opt.count); },
     "decoders and encoders to emulate (default 10)",
     "[-n count]: no of encoder and decode to emulate, if available in list. "
     "Must be given before options e or d\n",
     false},
    {"-st", "LINE", [](const char* o, const char* v, options& opt) { return count(o, v, opt.start); },
     "first line used of a list file; diagnostic base",
     "[-st start_at]: Use this to select a starting point from the mac list, different than 0\n",
     false},
    {"-d", nullptr,
     [](const char* o, const char* v, options& opt) {
         opt.decoders = true;
         return !v || list_file(o, v, opt, opt.mac_list);
     },
     "emulate decoders, from FILE or the built-in list",
     "[-d decoder_list.txt]: list of decoders files. if not set, some defaults are used\n", false},
    {"-e", nullptr,
     [](const char* o, const char* v, options& opt) {
         opt.encoders = true;
         return !v || list_file(o, v, opt, opt.ins_list);
     },
     "emulate encoders, from FILE or the built-in list",
     "[-e encoder_list.txt]: list of encoders files\n", false},
    {"-x", "PROJECT_ID",
     [](const char* o, const char* v, options& opt) {
         return number_option(o, v, 0, 65535, "a project ID from 0 to 65535", opt.project_id);
     },
     "with -d: diagnostic decoders of this project",
     "{-x project_id}: Emulate a diagnostic decoder to connect to the given project ID\n", false},
    {"-c", "HOST:PORT",
     [](const char*, const char* v, options& opt) {
         // The port is dropped and no later step uses the name: kept as it always was.
         const char* colon = strchr(v, ':');
         if (colon && colon != v)
             opt.config_host.assign(v, colon);
         return true;
     },
     "configuration-server host (the port is not used)", nullptr, false},
    {"--duration", "SECONDS",
     [](const char* o, const char* v, options& opt) {
         return decimal_option(o, v, 0, HUGE_VAL, true, "a number of seconds greater than 0",
                               opt.duration_s);
     },
     "measure for SECONDS after start-up, then a verdict", nullptr, true},
    {"--max-loss", "PERCENT",
     [](const char* o, const char* v, options& opt) {
         return decimal_option(o, v, 0, 100, false, "a loss percentage from 0 to 100",
                               opt.max_loss_percent);
     },
     "fail when the network loss is above PERCENT", nullptr, true},
    {"--max-jitter", "MS",
     [](const char* o, const char* v, options& opt) {
         return decimal_option(o, v, 0, HUGE_VAL, false, "a number of milliseconds, 0 or more",
                               opt.max_jitter_ms);
     },
     "fail when a decoder's jitter is above MS", nullptr, true},
    {"--max-delay", "MS",
     [](const char* o, const char* v, options& opt) {
         return decimal_option(o, v, 0, HUGE_VAL, false, "a number of milliseconds, 0 or more",
                               opt.max_delay_ms);
     },
     "fail when the p99 delay is above MS", nullptr, true},
    {"--clock-rate", "HZ",
     [](const char* o, const char* v, options& opt) {
         unsigned int hz = 0;
         if (!positive_whole(v, hz))
             return refuse(o, "a whole number of Hz greater than 0", v);
         opt.clock_rate = hz;
         return true;
     },
     "RTP clock rate, for jitter (default 8000)", nullptr, true},
    {"--report", "FILE",
     [](const char* o, const char* v, options& opt) { return output_path(o, v, opt, opt.report_path); },
     "write the JSON report to FILE (also on SIGUSR1)", nullptr, true},
    {"--csv", "FILE",
     [](const char* o, const char* v, options& opt) { return output_path(o, v, opt, opt.csv_path); },
     "append a CSV row a second to FILE", nullptr, true},
    {"--prom", "FILE",
     [](const char* o, const char* v, options& opt) { return output_path(o, v, opt, opt.prom_path); },
     "keep Prometheus metrics in FILE", nullptr, true},
    {"--ramp", "START:STEP:HOLD_SECONDS[:MAX]",
     [](const char* o, const char* v, options& opt) {
         ramp_plan plan;
         if (!ramp(v, plan))
             return refuse(o,
                           "START:STEP:HOLD_SECONDS[:MAX], whole numbers of decoders from 1 (MAX "
                           "at least START) and a hold of 3 s or more",
                           v);
         opt.ramp = plan;
         return true;
     },
     "add decoders in steps: the reflector's capacity", nullptr, true},
    {"--interval", "SECONDS",
     [](const char* o, const char* v, options& opt) {
         return decimal_option(o, v, 0, HUGE_VAL, false, "a number of seconds, 0 or more",
                               opt.interval_s);
     },
     "live line every SECONDS (default 1 on a tty, else 10)", nullptr, false},
    {"--receive-interval", "MS",
     [](const char* o, const char* v, options& opt) {
         return number_option(o, v, 0, options::MAX_RECEIVE_INTERVAL_MS,
                              "a number of milliseconds from 0 to 1000", opt.receive_interval_ms);
     },
     "batched receive MS apart (default 250, 0: none)", nullptr,
     false},
    {"--start-interval", "MS",
     [](const char* o, const char* v, options& opt) {
         return number_option(o, v, 0, options::MAX_START_INTERVAL_MS,
                              "a number of milliseconds from 0 to 1000", opt.start_interval_ms);
     },
     "pause after each decoder's start (default 20)", nullptr, false},
    {"--help", nullptr, nullptr, "print this list and exit (also -h)", nullptr, false},
};

const option_row* find(const char* word)
{
    for (const option_row& row : OPTIONS)
        if (row.apply && strcmp(row.name, word) == 0)
            return &row;
    return nullptr;
}

}  // namespace

options::options()
    : config_host(CONFIG_SERVER_HOST), mac_list(builtin_decoders()), ins_list(builtin_encoders())
{
}

void usage(const std::string& program)
{
    printf(USAGE_FIRST, program.c_str());
    // The usage text's own order, which is not the table's.
    for (const char* name : {"-l", "-r", "-p", "-pd", "-n", "-st", "-d", "-e", "-x"})
        printf("%s", find(name)->usage);
}

void help()
{
    printf("Usage: relaysim -l PORT -r HOST:PORT -p HOST:PORT [option]...\n");
    for (const option_row& row : OPTIONS) {
        std::string word = row.name;
        if (row.value)
            word = word + " " + row.value;
        else if (row.apply)
            word += " [FILE]";
        // A long value word takes a line of its own, so that every line fits 80 columns.
        if (word.size() > static_cast<size_t>(HELP_COLUMN))
            printf("  %s\n  %-*s %s\n", word.c_str(), HELP_COLUMN, "", row.help);
        else
            printf("  %-*s %s\n", HELP_COLUMN, word.c_str(), row.help);
    }
}

bool wants_help(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0)
            return true;
    return false;
}

bool options::measured() const
{
    return duration_s || max_loss_percent || max_jitter_ms || max_delay_ms || clock_rate || !report_path.empty() ||
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
        printf(SEE_HELP, argv[0]);
        return false;
    }
    printf("Current Options:%s\n", argv[0]);
    for (int i = 1; i < argc;) {
        const char* word = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        printf("Current Options:%s\n", word);
        const option_row* row = find(word);
        if (!row) {
            fprintf(stderr, word[0] == '-' ? "relaysim: unknown option \"%s\" (%s --help lists them)\n"
                                           : "relaysim: \"%s\" is no option (%s --help lists them)\n",
                    word, argv[0]);
            return false;
        }
        // "-d"/"-e" take the next word as their file unless it begins with '-'; written last,
        // they use the built-in list rather than being dropped.
        const bool optional = row->value == nullptr;
        const char* value = optional && next && next[0] == '-' ? nullptr : next;
        if (!value && !optional) {
            fprintf(stderr, "relaysim: %s needs a value: %s %s\n", word, word, row->value);
            return false;
        }
        if (!row->apply(word, value, opt))
            return false;
        i += value ? 2 : 1;
    }
    if (opt.local_port == 0) {
        usage(argv[0]);
        printf(SEE_HELP, argv[0]);
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
