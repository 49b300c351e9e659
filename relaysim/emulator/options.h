// Command line of relaysim: its settings and the usage text.
#pragma once

#include "utils.h"

#include <optional>
#include <string>

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
    // Measured runs: none of these is set unless its option is given.
    std::optional<double> duration_s;
    std::optional<double> max_loss_percent;
    std::optional<double> max_jitter_ms;
    std::optional<unsigned int> clock_rate;
    std::string report_path;
    std::string csv_path;
    std::string prom_path;
    std::optional<ramp_plan> ramp;
    // Decoders that are not selected take their datagrams in batches this many ms apart;
    // 0 wakes them for each datagram. Not a measurement option.
    unsigned int receive_interval_ms = DEFAULT_RECEIVE_INTERVAL_MS;
    // Pause after starting each decoder (0 to 1000 ms); 0 starts them all at once.
    unsigned int start_interval_ms = 20;

    // Whether any measurement option was given: only then does relaysim take signals.
    bool measured() const;
    // The clock rate given, or the default one.
    unsigned int rtp_clock_rate() const;
};

extern const char* const CONFIG_SERVER_HOST;

void usage(const std::string& program);

// Fills opt from the words; reads the "-d"/"-e" list files into mac_list and
// ins_list as it meets them. False after printing the usage text, or one line on
// standard error naming a measurement option with a bad value: the caller exits.
bool parse_command_line(int argc, char** argv, options& opt);
