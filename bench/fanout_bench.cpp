// Benchmark: local-stream fan-out to 174 encoders, relay against plain and batched send loops.
//
// fanout_bench [seconds=12] [rounds=4]: the methods take turns, rounds times, for an equal
// share of `seconds`, all sending 172-byte copies to one loopback sink that is never read:
//   a  plain loop, one sendto per copy
//   b  loop of one sendmmsg per local datagram, 3 iovecs per copy (head, key, rest)
//   c  CInstr with its server thread, fed local datagrams faster than it can relay them
//   c' the same, started without segmentation: batched sends only
//   d  UDP_SEGMENT (GSO): the same iovec table, 64 copies a message, if the kernel takes it
// Sent copies are counted by the kernel's Udp OutDatagrams (the feeder's own sends taken off;
// the counter is shared by the whole network namespace), arrivals by the sink socket's drop
// counter (its queue stays full). A segmented send counts once in OutDatagrams, so the ratios
// come from the sink. Rates per second of the process's CPU time are printed too, as the
// machine may be shared. Then b and d again to a sink that a thread reads.
// Targets: c/a >= 2.5, c/b >= 0.9.
#include "CInstr.h"
#include "CLogger.h"
#include "devices.h"
#include "utils.h"
// The drop reader the relay's tests use; a header with no test dependencies.
#include "udp_drops.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;
const int ENCODERS = 174;
const unsigned short DATAGRAM = 172;
const size_t GSO_SEGMENTS = 64;

int bound_socket(unsigned short& port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = utils::make_address(INADDR_LOOPBACK, 0);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

sockaddr_in loopback(unsigned short port)
{
    return utils::make_address(INADDR_LOOPBACK, port);
}

// Udp OutDatagrams of /proc/net/snmp.
unsigned long long out_datagrams()
{
    std::ifstream snmp("/proc/net/snmp");
    std::string names, values;
    while (std::getline(snmp, names)) {
        if (names.compare(0, 4, "Udp:") != 0 || !std::getline(snmp, values))
            continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value)
            if (name == "OutDatagrams")
                return std::stoull(value);
    }
    return 0;
}

// The batched send's table: per copy bytes 0-7 of the datagram, its key, the rest.
struct Table {
    std::vector<std::array<unsigned char, 4>> keys;
    std::vector<iovec> iovs;
    std::vector<mmsghdr> msgs;
    sockaddr_in to;

    Table(unsigned char* data, const sockaddr_in& sink) : keys(ENCODERS), iovs(3 * ENCODERS), msgs(ENCODERS), to(sink)
    {
        memset(msgs.data(), 0, msgs.size() * sizeof(msgs[0]));
        for (int i = 0; i < ENCODERS; ++i) {
            keys[i] = {static_cast<unsigned char>(i), 0x3D, 0x4E, 0x5F};
            iovs[3 * i] = {data, 8};
            iovs[3 * i + 1] = {keys[i].data(), 4};
            iovs[3 * i + 2] = {data + 12, DATAGRAM - 12u};
            msgs[i].msg_hdr.msg_name = &to;
            msgs[i].msg_hdr.msg_namelen = sizeof(to);
            msgs[i].msg_hdr.msg_iov = &iovs[3 * i];
            msgs[i].msg_hdr.msg_iovlen = 3;
        }
    }
};

// GSO messages over the same iovecs: up to GSO_SEGMENTS copies each, split by the kernel.
struct GsoTable {
    std::vector<mmsghdr> msgs;

    explicit GsoTable(Table& t)
    {
        for (size_t first = 0; first < static_cast<size_t>(ENCODERS); first += GSO_SEGMENTS) {
            const size_t n = std::min(GSO_SEGMENTS, ENCODERS - first);
            mmsghdr m;
            memset(&m, 0, sizeof(m));
            m.msg_hdr.msg_name = &t.to;
            m.msg_hdr.msg_namelen = sizeof(t.to);
            m.msg_hdr.msg_iov = &t.iovs[3 * first];
            m.msg_hdr.msg_iovlen = 3 * n;
            msgs.push_back(m);
        }
    }
};

double cpu_seconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

struct Figures {
    double seconds = 0;
    double cpu = 0;
    unsigned long long sent = 0;
    unsigned long long arrived = 0;
    double sent_rate() const { return seconds > 0 ? sent / seconds : 0; }
    double arrival_rate() const { return seconds > 0 ? arrived / seconds : 0; }
    double sent_per_cpu() const { return cpu > 0 ? sent / cpu : 0; }
    double arrived_per_cpu() const { return cpu > 0 ? arrived / cpu : 0; }
};

// Runs body for `seconds` and adds what the kernel counted sent, and the count arrived()
// gives of what arrived; body returns sends to leave out.
template <typename Arrived, typename Body>
void measure(Figures& f, Arrived arrived, double seconds, Body body)
{
    const unsigned long long out0 = out_datagrams(), arrived0 = arrived();
    const double cpu0 = cpu_seconds();
    const auto start = steady::now();
    const auto end = start + std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(seconds));
    const unsigned long long own = body(end);
    const auto stop = steady::now();
    f.cpu += cpu_seconds() - cpu0;
    const unsigned long long out1 = out_datagrams(), arrived1 = arrived();
    f.seconds += std::chrono::duration<double>(stop - start).count();
    f.sent += out1 - out0 - own;
    f.arrived += arrived1 - arrived0;
}

// Reads everything that reaches fd until stop is set, counting the datagrams.
void read_sink(int fd, const std::atomic<bool>& stop, std::atomic<unsigned long long>& received)
{
    const unsigned int batch = 64;
    std::vector<std::array<unsigned char, 2048>> bufs(batch);
    std::vector<iovec> iovs(batch);
    std::vector<mmsghdr> msgs(batch);
    memset(msgs.data(), 0, msgs.size() * sizeof(msgs[0]));
    for (unsigned int i = 0; i < batch; ++i) {
        iovs[i] = {bufs[i].data(), bufs[i].size()};
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    while (!stop) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0)
            continue;
        const int n = recvmmsg(fd, msgs.data(), batch, MSG_DONTWAIT, nullptr);
        if (n > 0)
            received += static_cast<unsigned long long>(n);
    }
}

// Repeats one local datagram's sends until end.
template <typename Send>
unsigned long long loop_until(steady::time_point end, Send send)
{
    while (steady::now() < end)
        for (int i = 0; i < 16; ++i)
            send();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? atof(argv[1]) : 12.0;
    const int rounds = argc > 2 ? atoi(argv[2]) : 4;

    // The relay's own messages would drown the figures.
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    FILE* report = fdopen(saved, "w");
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return 1;

    CLogger::init("fanout_bench");
    unsigned short sink_port = 0, port = 0;
    const int sink = bound_socket(sink_port);
    const int plain = bound_socket(port);
    const int batched = bound_socket(port);
    const int feeder = bound_socket(port);
    const int gso = bound_socket(port);
    const int gso_size = DATAGRAM;
    const bool has_gso = setsockopt(gso, SOL_UDP, UDP_SEGMENT, &gso_size, sizeof(gso_size)) == 0;
    unsigned short local_port = 0, batches_port = 0;
    close(bound_socket(local_port));
    close(bound_socket(batches_port));

    // The relay as it runs, and one held to batched sends without segmentation.
    CInstr relay, batches_only;
    for (unsigned long address : take_encoders(builtin_encoders(), ENCODERS)) {
        relay.add_encoder(address, INADDR_LOOPBACK, sink_port);
        batches_only.add_encoder(address, INADDR_LOOPBACK, sink_port);
    }
    if (!relay.start(local_port) || !batches_only.start(batches_port, false)) {
        fprintf(report, "fanout_bench: local port %u or %u could not be bound\n", local_port, batches_port);
        return 1;
    }

    std::vector<unsigned char> datagram(DATAGRAM, 0x5A);
    datagram[0] = 0x80;
    const sockaddr_in to = loopback(sink_port);
    Table table(datagram.data(), to);
    GsoTable gso_table(table);

    // A second sink that a thread reads, for the methods' end-to-end figures.
    unsigned short reading_port = 0;
    const int reading = bound_socket(reading_port);
    const int big = 4 << 20;
    setsockopt(reading, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    std::atomic<bool> stop_reading(false);
    std::atomic<unsigned long long> received(0);
    std::thread reader(read_sink, reading, std::cref(stop_reading), std::ref(received));
    Table read_table(datagram.data(), loopback(reading_port));
    GsoTable read_gso_table(read_table);

    // Fill the sink's queue so that from now on every arrival is counted as a drop.
    for (int i = 0; i < 4; ++i)
        sendmmsg(batched, table.msgs.data(), ENCODERS, 0);

    const double share = seconds / rounds / (has_gso ? 7 : 5);
    fprintf(report,
            "fan-out: %zu encoders, %u-byte datagrams, sink 127.0.0.1:%u (not read), "
            "%d rounds of %.2f s per method\n",
            relay.encoder_count(), DATAGRAM, sink_port, rounds, share);
    Figures a, b, c, c_batches, d, b_read, d_read;
    // Arrivals at the unread sink are its drops, its queue being full.
    const auto unread = [&] { return udp_drops::of_port(sink_port); };
    // Local datagrams at twice the rate the fastest loop could relay them, in bursts every
    // 0.2 ms, so the relay's queue never runs dry while the feeder takes little time.
    const auto relay_round = [&](Figures& f, CInstr& instr, unsigned short port) {
        const sockaddr_in local = loopback(port);
        const double feed_rate = 2.0 * std::max({b.arrival_rate(), d.arrival_rate(), 1e6}) / ENCODERS;
        measure(f, unread, share, [&](steady::time_point end) {
            unsigned long long fed = 0;
            const auto start = steady::now();
            for (auto now = start; now < end; now = steady::now()) {
                const double due = feed_rate * std::chrono::duration<double>(now - start).count();
                for (; fed < due; ++fed)
                    sendto(feeder, datagram.data(), DATAGRAM, 0, reinterpret_cast<const sockaddr*>(&local),
                           sizeof(local));
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            return fed;
        });
        // Let the relay drain its queue before the next method is counted.
        const int fd = instr.socket().get_socket_fd();
        for (int i = 0, queued = 1; i < 200 && queued > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (ioctl(fd, FIONREAD, &queued) != 0)
                queued = 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    // One local datagram's copies as one batch, or as segmented messages, repeated until end.
    const auto batches = [&](Table& t) {
        mmsghdr* const msgs = t.msgs.data();
        return [&, msgs](steady::time_point end) {
            return loop_until(end, [&] { sendmmsg(batched, msgs, ENCODERS, 0); });
        };
    };
    const auto segments = [&](GsoTable& t) {
        mmsghdr* const msgs = t.msgs.data();
        const unsigned int n = static_cast<unsigned int>(t.msgs.size());
        return [&, msgs, n](steady::time_point end) { return loop_until(end, [&] { sendmmsg(gso, msgs, n, 0); }); };
    };
    const auto read = [&] { return received.load(); };
    for (int r = 0; r < rounds; ++r) {
        measure(a, unread, share, [&](steady::time_point end) {
            return loop_until(end, [&] {
                for (int i = 0; i < ENCODERS; ++i)
                    sendto(plain, datagram.data(), DATAGRAM, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
            });
        });
        measure(b, unread, share, batches(table));
        measure(b_read, read, share, batches(read_table));
        if (has_gso) {
            measure(d, unread, share, segments(gso_table));
            measure(d_read, read, share, segments(read_gso_table));
        }
        relay_round(c, relay, local_port);
        relay_round(c_batches, batches_only, batches_port);
        fprintf(report, "  after round %d: a %.0f/s, b %.0f/s, c %.0f/s at the sink\n", r + 1, a.arrival_rate(),
                b.arrival_rate(), c.arrival_rate());
    }

    fprintf(report, "copies per second, per second of the process's CPU time in brackets\n");
    fprintf(report, "                         sent (OutDatagrams)      arrived at the unread sink\n");
    const auto row = [&](const char* name, const Figures& f, bool sent) {
        if (sent)
            fprintf(report, "  %-22s %9.0f (%9.0f)     %9.0f (%9.0f)\n", name, f.sent_rate(), f.sent_per_cpu(),
                    f.arrival_rate(), f.arrived_per_cpu());
        else
            fprintf(report, "  %-22s %9s  %9s      %9.0f (%9.0f)\n", name, "-", "", f.arrival_rate(),
                    f.arrived_per_cpu());
    };
    row("a plain sendto loop", a, true);
    row("b sendmmsg loop", b, true);
    row("c relay (CInstr)", c, true);
    row("c' relay, batches only", c_batches, true);
    if (has_gso)
        row("d UDP_SEGMENT x64", d, false);
    fprintf(report, "                                                  received by a reading sink\n");
    row("b sendmmsg loop", b_read, false);
    if (has_gso)
        row("d UDP_SEGMENT x64", d_read, false);
    else
        fprintf(report, "  d UDP_SEGMENT: refused by the kernel\n");
    fprintf(report, "relay: %.0f local datagrams/s\n", c.arrival_rate() / ENCODERS);
    // A segmented send counts once in OutDatagrams, so the ratios take the sink's count.
    fprintf(report, "ratio c/a: %.3f (%.3f per CPU second) (target >= 2.5)\n", c.arrival_rate() / a.arrival_rate(),
            c.arrived_per_cpu() / a.arrived_per_cpu());
    fprintf(report, "ratio c/b: %.3f (%.3f per CPU second) (target >= 0.9)\n", c.arrival_rate() / b.arrival_rate(),
            c.arrived_per_cpu() / b.arrived_per_cpu());
    fprintf(report, "ratio c'/a: %.3f, c'/b: %.3f (the relay held to batched sends)\n",
            c_batches.arrival_rate() / a.arrival_rate(), c_batches.arrival_rate() / b.arrival_rate());
    if (has_gso)
        fprintf(report, "ratio d/b at the sinks: %.3f unread, %.3f reading (GSO pays above 1)\n",
                d.arrival_rate() / b.arrival_rate(), d_read.arrival_rate() / b_read.arrival_rate());
    fflush(report);
    close(sink);
    close(plain);
    close(batched);
    close(feeder);
    close(gso);
    stop_reading = true;
    reader.join();
    close(reading);
    return 0;
}
