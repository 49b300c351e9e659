// Command line of relaysim: its settings, its one table of options, the usage and help texts.
#pragma once

#include "utils.h"

#include <optional>
#include <string>
#include <vector>

// --ramp START:STEP:HOLD_SECONDS[:MAX]
struct ramp_plan {
    enum { MIN_HOLD_S = 3 };
    unsigned int start = 0, step = 0;
    double hold_s = 0;
    unsigned int max = 0;  // 0: as many as the run's addresses give
};

struct options {
    static constexpr unsigned int DEFAULT_RECEIVE_INTERVAL_MS = 250;
    static constexpr unsigned int MAX_RECEIVE_INTERVAL_MS = 1000;
    static constexpr unsigned int DEFAULT_START_INTERVAL_MS = 20;
    static constexpr unsigned int MAX_START_INTERVAL_MS = 1000;

    unsigned short local_port = 0;
    int count = 10;
    int start = 0;
    unsigned short decoder_port = 0;
    unsigned short project_id = 0;
    unsigned int reflector_addr = 0;
    unsigned short reflector_port = 0;
    unsigned int player_addr = 0;
    unsigned short player_port = 0;
    std::string config_host;
    bool decoders = false;
    bool encoders = false;
    // The decoder and encoder addresses: the built-in tables unless "-d"/"-e" read a file.
    std::vector<unsigned long> mac_list;
    std::vector<unsigned long> ins_list;
    // Measured runs: none of these is set unless its option is given.
    std::optional<double> duration_s;
    std::optional<double> max_loss_percent;
    std::optional<double> max_jitter_ms;
    std::optional<double> max_delay_ms;
    std::optional<unsigned int> clock_rate;
    std::string report_path;
    std::string csv_path;
    std::string prom_path;
    std::optional<ramp_plan> ramp;
    // Seconds between live lines of a measured run (0: none); unset, 1 on a terminal and 10
    // otherwise. Not a measurement option.
    std::optional<double> interval_s;
    // Decoders that are not selected take their datagrams in batches this many ms apart;
    // 0 wakes them for each datagram. Not a measurement option.
    unsigned int receive_interval_ms = DEFAULT_RECEIVE_INTERVAL_MS;
    // The pause after starting each decoder. Not a measurement option.
    unsigned int start_interval_ms = DEFAULT_START_INTERVAL_MS;

    options();
    // Whether any measurement option was given: only then does relaysim take signals.
    bool measured() const;
    // The clock rate given, or the default one.
    unsigned int rtp_clock_rate() const;
};

extern const char* const CONFIG_SERVER_HOST;

// The ten lines of the usage text.
void usage(const std::string& program);
// Every option, one line each: what --help prints.
void help();
// "--help" or "-h" as a word of the command line.
bool wants_help(int argc, char** argv);

// Fills opt from the words; "-d"/"-e" read their list files into opt's lists as they meet
// them. False after printing the usage text (no arguments, no local port) or one line on
// standard error naming the word that is refused: the caller exits.
bool parse_command_line(int argc, char** argv, options& opt);
