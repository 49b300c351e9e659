// Stand-in encoder: sends a sine tone as a real RTP stream of 20 ms G.711 u-law packets.
//
// rtp_source -t host:port [-f hz] [-T seconds] [-s ssrc] [-a amplitude] [-b bytes]
//   -f  tone frequency (default 1000 Hz)      -T  duration (default: until SIGINT/SIGTERM)
//   -s  SSRC (default random)                 -a  amplitude 0..1 (default 0.5)
//   -b  pad each packet to this size (default 172: 12-byte header, 160 samples)
#include "utils.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

const int RATE = 8000;
const int SAMPLES = 160;  // 20 ms

// G.711 u-law of one 16-bit linear sample.
unsigned char ulaw(int sample)
{
    const int BIAS = 0x84, CLIP = 32635;
    int sign = (sample >> 8) & 0x80;
    if (sign)
        sample = -sample;
    if (sample > CLIP)
        sample = CLIP;
    sample += BIAS;
    int exponent = 7;
    for (int mask = 0x4000; (sample & mask) == 0 && exponent > 0; mask >>= 1)
        --exponent;
    int mantissa = (sample >> (exponent + 3)) & 0x0F;
    return static_cast<unsigned char>(~(sign | (exponent << 4) | mantissa));
}

// Named as it was started: rtp_source in the build tree, relaysim-rtp-source when installed.
const char* g_name = "rtp_source";

void usage(FILE* out)
{
    fprintf(out, "usage: %s -t host:port [-f hz] [-T seconds] [-s ssrc] [-a amplitude] [-b bytes]\n",
            g_name);
}

[[noreturn]] void bad_usage()
{
    usage(stderr);
    exit(2);
}

void help()
{
    usage(stdout);
    fputs("Sends a sine tone as an RTP stream of 20 ms G.711 u-law packets (payload type 0).\n"
          "  -t host:port  where to send\n"
          "  -f hz         tone frequency (default 1000)\n"
          "  -T seconds    end after this long (default: at SIGINT or SIGTERM)\n"
          "  -s ssrc       SSRC (default random)\n"
          "  -a amplitude  0 to 1 (default 0.5)\n"
          "  -b bytes      pad each packet to this size (default 172: 12-byte header, 160 samples)\n",
          stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string target;
    double freq = 1000, duration = 0, amplitude = 0.5;
    unsigned int ssrc = 0;
    bool ssrc_given = false;
    int bytes = 12 + SAMPLES;
    if (argc > 0 && argv[0][0])
        g_name = strrchr(argv[0], '/') ? strrchr(argv[0], '/') + 1 : argv[0];
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        help();
        return 0;
    }
    if (argc % 2 == 0)  // an option without its value
        bad_usage();
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string w = argv[i];
        const char* v = argv[i + 1];
        if (w == "-t") target = v;
        else if (w == "-f") freq = atof(v);
        else if (w == "-T") duration = atof(v);
        else if (w == "-s") { ssrc = static_cast<unsigned int>(strtoul(v, nullptr, 0)); ssrc_given = true; }
        else if (w == "-a") amplitude = atof(v);
        else if (w == "-b") bytes = atoi(v);
        else bad_usage();
    }
    size_t colon = target.find(':');
    if (colon == std::string::npos || colon == 0)
        bad_usage();
    const unsigned int host = get_ip_address(target.substr(0, colon));
    if (host == 0) {
        fprintf(stderr, "rtp_source: can't resolve %s\n", target.c_str());
        return 1;
    }
    sockaddr_in to =
        utils::make_address(host, static_cast<unsigned short>(atoi(target.c_str() + colon + 1)));
    if (bytes < 12 + SAMPLES)
        bytes = 12 + SAMPLES;

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("rtp_source: socket");
        return 1;
    }
    srandom(static_cast<unsigned int>(time(nullptr) ^ getpid()));
    if (!ssrc_given)
        ssrc = static_cast<unsigned int>(random());
    unsigned short seq = static_cast<unsigned short>(random());
    unsigned int timestamp = static_cast<unsigned int>(random());

    std::vector<unsigned char> packet(bytes, 0xFF);
    packet[0] = 0x80;  // version 2
    packet[1] = 0;     // payload type 0: PCMU
    for (int i = 0; i < 4; ++i)
        packet[8 + i] = static_cast<unsigned char>(ssrc >> (24 - 8 * i));

    printf("rtp_source: %.0f Hz PCMU to %s, ssrc %08x\n", freq, target.c_str(), ssrc);
    fflush(stdout);
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    const long long packets = duration > 0 ? static_cast<long long>(duration * 50) : -1;
    unsigned long long sample_no = 0;
    for (long long n = 0; !g_stop && (packets < 0 || n < packets); ++n) {
        packet[2] = static_cast<unsigned char>(seq >> 8);
        packet[3] = static_cast<unsigned char>(seq);
        for (int i = 0; i < 4; ++i)
            packet[4 + i] = static_cast<unsigned char>(timestamp >> (24 - 8 * i));
        for (int i = 0; i < SAMPLES; ++i, ++sample_no) {
            double t = static_cast<double>(sample_no) / RATE;
            packet[12 + i] = ulaw(static_cast<int>(amplitude * 32767 * sin(2 * M_PI * freq * t)));
        }
        sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        ++seq;
        timestamp += SAMPLES;
        next.tv_nsec += 20000000;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    close(fd);
    return 0;
}
