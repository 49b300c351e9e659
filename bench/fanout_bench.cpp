// Benchmark: local-stream fan-out to 174 encoders against a plain sendto loop to the same sink.
//
// fanout_bench [seconds=6] [rounds=6]: alternates relay and plain rounds of seconds/rounds
// each and prints the copies per second of both and their ratio (target: >= 0.8).
#include "CInstr.h"
#include "CLogger.h"
#include "devices.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;
const int ENCODERS = 174;
const unsigned short DATAGRAM = 172;

int bound_socket(unsigned short& port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// Copies sent per second by body, called once per local datagram, during `seconds`.
template <typename Body>
double rate(double seconds, Body body)
{
    unsigned long long copies = 0;
    const auto start = steady::now();
    const auto end = start + std::chrono::duration_cast<steady::duration>(
                                 std::chrono::duration<double>(seconds));
    auto now = start;
    while (now < end) {
        for (int i = 0; i < 16; ++i)
            copies += body();
        now = steady::now();
    }
    return copies / std::chrono::duration<double>(now - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? atof(argv[1]) : 6.0;
    const int rounds = argc > 2 ? atoi(argv[2]) : 6;

    // The relay's own messages would drown the figures.
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    FILE* report = fdopen(saved, "w");
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return 1;

    CLogger::init("fanout_bench");
    unsigned short sink_port = 0, plain_port = 0;
    int sink = bound_socket(sink_port);
    int plain = bound_socket(plain_port);
    unsigned short probe_port = 0;
    close(bound_socket(probe_port));

    CInstr relay;
    for (unsigned long address : take_encoders(ins_list, ENCODERS))
        relay.add_encoder(address, INADDR_LOOPBACK, sink_port);
    if (!relay.start(probe_port)) {
        fprintf(report, "fanout_bench: local port %u could not be bound\n", probe_port);
        return 1;
    }

    std::vector<unsigned char> datagram(DATAGRAM, 0x5A);
    datagram[0] = 0x80;
    sockaddr_in from, to;
    memset(&from, 0, sizeof(from));
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(sink_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    fprintf(report, "fan-out: %zu encoders, %u-byte datagrams, sink 127.0.0.1:%u (not read), "
                    "%d rounds of %.2f s each way\n",
            relay.m_encoders.size(), DATAGRAM, sink_port, rounds, seconds / rounds / 2);
    double relay_sum = 0, plain_sum = 0;
    for (int r = 0; r < rounds; ++r) {
        double rr = rate(seconds / rounds / 2, [&] {
            relay.on_raw_data(from, datagram.data(), DATAGRAM);
            return static_cast<unsigned long long>(relay.m_encoders.size());
        });
        double pr = rate(seconds / rounds / 2, [&] {
            for (int i = 0; i < ENCODERS; ++i)
                sendto(plain, datagram.data(), DATAGRAM, 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof(to));
            return static_cast<unsigned long long>(ENCODERS);
        });
        fprintf(report, "  round %d: relay %.0f/s, plain sendto %.0f/s\n", r + 1, rr, pr);
        relay_sum += rr;
        plain_sum += pr;
    }
    const double relay_rate = relay_sum / rounds, plain_rate = plain_sum / rounds;
    fprintf(report, "relay:        %.0f datagrams/s (%.0f local datagrams/s)\n", relay_rate,
            relay_rate / ENCODERS);
    fprintf(report, "plain sendto: %.0f datagrams/s\n", plain_rate);
    fprintf(report, "ratio relay/plain: %.3f (target >= 0.8)\n", relay_rate / plain_rate);
    fflush(report);
    close(sink);
    close(plain);
    return 0;
}
