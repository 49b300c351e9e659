// Stand-in reflector: serves the encoder copies it receives to the decoders that ask for a stream.
//
// reflector [-a addr] [-e port] [-d port] [-f forget_s] [-g rate] [-s size] [-T seconds] [-v] [-c] [-B bytes]
//           [--drop-every N] [--duplicate-every N] [--swap-every N] [--counts-file FILE] [--max-rate R]
//           [--shape R[:BURST]] [--jitter MS:FROM:FOR] [--help]
//   -e  encoder port (copies arrive here); 0 picks a free port
//   -d  decoder port (12-byte requests arrive here); absent: the encoder port serves both
//   -f  a decoder that has not asked for this many seconds is forgotten (default 12)
//   -g  send generated RTP datagrams of -s bytes (default 172) to every decoder, rate a second
//   -T  end after this many seconds (default: run until SIGINT/SIGTERM)
//   -v  print every request with its bytes
//   -c  at the end, also print the copies received per stream and the datagrams sent per decoder
//   -B  receive buffer of each socket, beyond the system's limit where permitted (default 4 MiB)
// Impairments, counted per decoder over the datagrams meant for it (deterministic, for tests):
//   --drop-every N       do not send the Nth, 2Nth, ... datagram (25 loses 4%)
//   --duplicate-every N  send the Nth, 2Nth, ... datagram twice
//   --swap-every N       hold the Nth, 2Nth, ... datagram back and send it after the next one
//   --counts-file FILE   at the end, write the per-decoder counts there too
// A known capacity, for finding it from outside:
//   --max-rate R         send at most R datagrams a second to all decoders together, an equal
//                        share each; the rest are dropped (counted with the dropped, and in
//                        total as capped)
//   --shape R[:BURST]    send at most R datagrams a second to all decoders together, first come
//                        first served, as a kernel's rate shaper does: the decoders last in
//                        each tick's burst get nothing (counted with the dropped) once the
//                        bucket of BURST seconds of the rate (default 0.04) has run dry
// Timing, with -g:
//   --jitter MS:FROM:FOR from FROM s after start, for FOR s, send every other tick MS ms late
// A known delay, for measuring it from outside (not combined with the impairments above):
//   --delay MS           hold every datagram MS milliseconds before it leaves
//   --delay-jitter MS    and a further uniform 0 to MS milliseconds
//   --service-us US      a single server: each datagram takes US microseconds of its time, in
//                        arrival order, so the delay grows with the load and the queue never
//                        drains above 1,000,000 / US datagrams a second
// With any of these, the end (-T, SIGINT, SIGTERM) prints per decoder what was really sent:
//   "decoder MAC sent S dropped D duplicated U swapped W lost L failed F", where L counts the
//   dropped sequence numbers below the highest one sent: what the receiver can see as lost.
// Decoders are ordered by device address; decoder i hears encoder stream i modulo the
// number of streams, streams counted by SSRC in order of first appearance.
#include "utils.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

struct Decoder {
    std::pair<unsigned long, unsigned long long> key;  // device address, endpoint
    sockaddr_in addr;
    int sock;  // the socket the request went to answers it
    steady::time_point last_request;
    unsigned short seq;
    unsigned int timestamp;
    unsigned long long sent;
    // Impairment bookkeeping.
    unsigned long long offered = 0, dropped = 0, dropped_at_end = 0, duplicated = 0, swapped = 0,
                       failed = 0;
    std::vector<unsigned char> held;
    // Its share of the capacity limit: a token bucket.
    double tokens = 0;
    steady::time_point refilled = steady::now();
};

struct Options {
    in_addr_t bind_addr = htonl(INADDR_ANY);
    unsigned short encoder_port = 0;
    int decoder_port = -1;
    int forget_s = 12;
    int rate = 0;
    int size = 172;
    double run_s = 0;
    bool verbose = false;
    bool counts = false;
    int rcvbuf = 0;
    unsigned long drop_every = 0;
    unsigned long duplicate_every = 0;
    unsigned long swap_every = 0;
    std::string counts_file;
    double max_rate = 0;
    double shape = 0, shape_burst_s = 0.04;
    double jitter_ms = 0, jitter_from_s = 0, jitter_for_s = 0;
    double delay_ms = 0, delay_jitter_ms = 0, service_us = 0;
    bool delayed() const { return delay_ms > 0 || delay_jitter_ms > 0 || service_us > 0; }
    bool impaired() const
    {
        return drop_every || duplicate_every || swap_every || !counts_file.empty() || max_rate > 0 ||
               shape > 0;
    }
};

int open_socket(in_addr_t addr, unsigned short port, unsigned short& bound, int rcvbuf)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("reflector: socket");
        exit(1);
    }
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    // A large buffer rides out stalls of this process on a loaded machine; forcing it
    // past net.core.rmem_max needs CAP_NET_ADMIN, without which the plain request stands.
    if (rcvbuf > 0 && setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf)) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    sockaddr_in sa = utils::make_address(ntohl(addr), port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        perror("reflector: bind");
        exit(1);
    }
    socklen_t len = sizeof(sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    bound = ntohs(sa.sin_port);
    return fd;
}

unsigned long long endpoint_key(const sockaddr_in& a)
{
    return (static_cast<unsigned long long>(ntohl(a.sin_addr.s_addr)) << 16) | ntohs(a.sin_port);
}

class Reflector {
public:
    explicit Reflector(const Options& opt) : m_opt(opt) {}

    void run(int enc_fd, int dec_fd);

private:
    void on_request(int fd, const unsigned char* data, ssize_t len, const sockaddr_in& from);
    void on_copy(const unsigned char* data, ssize_t len);
    void forget_silent(steady::time_point now);
    void regroup();
    void generate();
    void drain(int fd, bool requests_too);
    void print_counts() const;
    void deliver(Decoder& d, const unsigned char* data, size_t len);
    bool admit(Decoder& d);
    bool send_to(Decoder& d, const unsigned char* data, size_t len);
    void flush_held();
    void print_impairments() const;
    // Unimpaired sends are queued and leave in batches (sendmmsg): one system call carries
    // up to a thousand datagrams, so one thread feeds ten thousand decoders at 50 a second.
    void queue(Decoder& d, const unsigned char* data, size_t len);
    void flush();
    // The delay stage: a datagram waits its service turn, then the fixed delay and its jitter.
    void hold_back(const std::pair<unsigned long, unsigned long long>& key, const unsigned char* data,
                   size_t len);
    // Sends what is due by now; the time the next one is due.
    steady::time_point release(steady::time_point now);

    const Options& m_opt;
    steady::time_point m_start = steady::now();
    // Ordered by device address, then endpoint.
    std::map<std::pair<unsigned long, unsigned long long>, Decoder> m_decoders;
    std::unordered_map<unsigned int, size_t> m_stream_of_ssrc;
    std::vector<unsigned long long> m_copies_of_stream;  // by stream index
    std::vector<std::vector<Decoder*>> m_listeners;
    bool m_regroup = false;
    struct Queued {
        Decoder* d;
        size_t offset;
        size_t len;
    };
    std::vector<Queued> m_queued;
    std::vector<unsigned char> m_queued_bytes;
    std::vector<mmsghdr> m_msgs;
    std::vector<iovec> m_iov;
    unsigned long long m_requests = 0, m_copies = 0, m_sent = 0, m_capped = 0;
    // The shaper's one bucket, shared by all decoders in the order they are served.
    double m_shape_tokens = 1e18;  // full at the start, as a shaper's is
    steady::time_point m_shape_refilled = steady::now();
    int m_enc_fd = -1;
    struct Delayed {
        steady::time_point due;
        std::pair<unsigned long, unsigned long long> key;  // the decoder, if still known then
        std::vector<unsigned char> bytes;
        bool operator>(const Delayed& o) const { return due > o.due; }
    };
    std::priority_queue<Delayed, std::vector<Delayed>, std::greater<Delayed>> m_delayed;
    steady::time_point m_server_free = steady::now();
};

void Reflector::hold_back(const std::pair<unsigned long, unsigned long long>& key,
                          const unsigned char* data, size_t len)
{
    const auto now = steady::now();
    const auto us = [](double v) {
        return std::chrono::duration_cast<steady::duration>(std::chrono::duration<double, std::micro>(v));
    };
    m_server_free = std::max(m_server_free, now) + us(m_opt.service_us);
    const double jitter_ms = m_opt.delay_jitter_ms * (static_cast<double>(random()) / 2147483648.0);
    m_delayed.push({m_server_free + us(1000 * (m_opt.delay_ms + jitter_ms)), key,
                    std::vector<unsigned char>(data, data + len)});
}

steady::time_point Reflector::release(steady::time_point now)
{
    while (!m_delayed.empty() && m_delayed.top().due <= now) {
        const Delayed& item = m_delayed.top();
        auto it = m_decoders.find(item.key);
        if (it != m_decoders.end())
            queue(it->second, item.bytes.data(), item.bytes.size());
        m_delayed.pop();
    }
    flush();
    return m_delayed.empty() ? now + std::chrono::hours(1) : m_delayed.top().due;
}

void Reflector::on_request(int fd, const unsigned char* data, ssize_t len, const sockaddr_in& from)
{
    ++m_requests;
    unsigned long mac = 0;
    for (int i = 4; i < 10; ++i)
        mac = (mac << 8) | data[i];
    const auto now = steady::now();
    char host[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from.sin_addr, host, sizeof(host));
    if (m_opt.verbose) {
        long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_start).count();
        printf("request %s:%u t=%lld bytes=", host, ntohs(from.sin_port), ms);
        for (ssize_t i = 0; i < len; ++i)
            printf("%02x", data[i]);
        printf("\n");
    }
    auto key = std::make_pair(mac, endpoint_key(from));
    auto it = m_decoders.find(key);
    if (it == m_decoders.end()) {
        Decoder d;
        d.key = key;
        d.addr = from;
        d.sock = fd;
        d.seq = static_cast<unsigned short>(random());
        d.timestamp = static_cast<unsigned int>(random());
        d.sent = 0;
        it = m_decoders.emplace(key, d).first;
        printf("decoder %012lx at %s:%u joined\n", mac, host, ntohs(from.sin_port));
        m_regroup = true;
    }
    it->second.last_request = now;
    fflush(stdout);
}

void Reflector::on_copy(const unsigned char* data, ssize_t len)
{
    ++m_copies;
    if (len < 12)
        return;
    unsigned int ssrc = (unsigned(data[8]) << 24) | (unsigned(data[9]) << 16) |
                        (unsigned(data[10]) << 8) | data[11];
    auto it = m_stream_of_ssrc.find(ssrc);
    if (it == m_stream_of_ssrc.end()) {
        it = m_stream_of_ssrc.emplace(ssrc, m_stream_of_ssrc.size()).first;
        m_copies_of_stream.push_back(0);
        regroup();
    }
    ++m_copies_of_stream[it->second];
    if (it->second >= m_listeners.size())
        return;
    if (m_opt.delayed()) {
        for (Decoder* d : m_listeners[it->second])
            hold_back(d->key, data, static_cast<size_t>(len));
        return;
    }
    for (Decoder* d : m_listeners[it->second])
        deliver(*d, data, static_cast<size_t>(len));
    flush();
}

bool Reflector::send_to(Decoder& d, const unsigned char* data, size_t len)
{
    if (sendto(d.sock, data, len, 0, reinterpret_cast<const sockaddr*>(&d.addr), sizeof(d.addr)) ==
        static_cast<ssize_t>(len)) {
        ++m_sent;
        ++d.sent;
        return true;
    }
    ++d.failed;
    return false;
}

// Each decoder gets an equal share of the limit, so an overload shows as loss spread over
// all of them, as when a server's queues overflow, rather than as decoders left unserved.
// A bucket holds a tenth of a second of its share: enough for a burst of ticks after a
// stall at exactly the limit, too little to hide an overload for more than a moment.
bool Reflector::admit(Decoder& d)
{
    if (m_opt.shape > 0) {
        // The default, two ticks' worth at 50 a second: a tick a little early or late changes
        // nobody's share.
        const auto now = steady::now();
        m_shape_tokens = std::min(std::max(1.0, m_opt.shape * m_opt.shape_burst_s),
                                  m_shape_tokens + std::chrono::duration<double>(now - m_shape_refilled).count() * m_opt.shape);
        m_shape_refilled = now;
        if (m_shape_tokens < 1) {
            ++m_capped;
            return false;
        }
        m_shape_tokens -= 1;
    }
    if (m_opt.max_rate <= 0)
        return true;
    const auto now = steady::now();
    const double share = m_opt.max_rate / static_cast<double>(m_decoders.size());
    d.tokens = std::min(std::max(1.0, share / 10),
                        d.tokens + std::chrono::duration<double>(now - d.refilled).count() * share);
    d.refilled = now;
    if (d.tokens < 1) {
        ++m_capped;
        return false;
    }
    d.tokens -= 1;
    return true;
}

void Reflector::queue(Decoder& d, const unsigned char* data, size_t len)
{
    ++d.offered;
    m_queued.push_back({&d, m_queued_bytes.size(), len});
    m_queued_bytes.insert(m_queued_bytes.end(), data, data + len);
}

void Reflector::flush()
{
    const size_t n = m_queued.size();
    m_msgs.resize(n);
    m_iov.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const Queued& q = m_queued[i];
        m_iov[i] = {m_queued_bytes.data() + q.offset, q.len};
        memset(&m_msgs[i], 0, sizeof(m_msgs[i]));
        m_msgs[i].msg_hdr.msg_name = &q.d->addr;
        m_msgs[i].msg_hdr.msg_namelen = sizeof(q.d->addr);
        m_msgs[i].msg_hdr.msg_iov = &m_iov[i];
        m_msgs[i].msg_hdr.msg_iovlen = 1;
    }
    size_t i = 0;
    while (i < n) {
        // One call per run of messages that leave by the same socket.
        size_t end = i + 1;
        while (end < n && end - i < UIO_MAXIOV && m_queued[end].d->sock == m_queued[i].d->sock)
            ++end;
        const int sent = sendmmsg(m_queued[i].d->sock, &m_msgs[i], static_cast<unsigned int>(end - i), 0);
        if (sent <= 0) {
            // The first of the run failed: counted, and the rest go on.
            ++m_queued[i].d->failed;
            ++i;
            continue;
        }
        for (size_t k = i; k < i + static_cast<size_t>(sent); ++k) {
            ++m_sent;
            ++m_queued[k].d->sent;
        }
        i += static_cast<size_t>(sent);
    }
    m_queued.clear();
    m_queued_bytes.clear();
}

void Reflector::deliver(Decoder& d, const unsigned char* data, size_t len)
{
    if (!m_opt.impaired()) {
        queue(d, data, len);
        return;
    }
    ++d.offered;
    if (!admit(d) || (m_opt.drop_every && d.offered % m_opt.drop_every == 0)) {
        ++d.dropped;
        ++d.dropped_at_end;
        return;
    }
    if (m_opt.swap_every && d.offered % m_opt.swap_every == 0 && d.held.empty()) {
        d.held.assign(data, data + len);
        return;
    }
    send_to(d, data, len);
    // Drops before a newer datagram are gaps the receiver sees.
    d.dropped_at_end = 0;
    if (!d.held.empty()) {
        if (send_to(d, d.held.data(), d.held.size()))
            ++d.swapped;
        d.held.clear();
    }
    if (m_opt.duplicate_every && d.offered % m_opt.duplicate_every == 0 && send_to(d, data, len))
        ++d.duplicated;
}

void Reflector::flush_held()
{
    for (auto& entry : m_decoders) {
        Decoder& d = entry.second;
        if (!d.held.empty()) {
            send_to(d, d.held.data(), d.held.size());
            d.held.clear();
        }
    }
}

void Reflector::print_impairments() const
{
    FILE* file = nullptr;
    if (!m_opt.counts_file.empty() && !(file = fopen(m_opt.counts_file.c_str(), "w")))
        fprintf(stderr, "reflector: can't write %s: %s\n", m_opt.counts_file.c_str(), strerror(errno));
    for (const auto& entry : m_decoders) {
        const Decoder& d = entry.second;
        for (FILE* out : {stdout, file}) {
            if (out)
                fprintf(out, "decoder %012lx sent %llu dropped %llu duplicated %llu swapped %llu "
                             "lost %llu failed %llu\n",
                        entry.first.first, d.sent, d.dropped, d.duplicated, d.swapped,
                        d.dropped - d.dropped_at_end, d.failed);
        }
    }
    if (file)
        fclose(file);
}

void Reflector::regroup()
{
    m_regroup = false;
    m_listeners.assign(m_stream_of_ssrc.size(), {});
    if (m_listeners.empty())
        return;
    size_t i = 0;
    for (auto& entry : m_decoders)
        m_listeners[i++ % m_listeners.size()].push_back(&entry.second);
}

void Reflector::forget_silent(steady::time_point now)
{
    for (auto it = m_decoders.begin(); it != m_decoders.end();) {
        if (now - it->second.last_request > std::chrono::seconds(m_opt.forget_s)) {
            char host[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &it->second.addr.sin_addr, host, sizeof(host));
            printf("decoder %012lx at %s:%u forgotten\n", it->first.first, host,
                   ntohs(it->second.addr.sin_port));
            fflush(stdout);
            it = m_decoders.erase(it);
            m_regroup = true;
        } else {
            ++it;
        }
    }
}

void Reflector::generate()
{
    std::vector<unsigned char> packet(m_opt.size < 12 ? 12 : m_opt.size, 0x55);
    unsigned int index = 0;
    for (auto& entry : m_decoders) {
        Decoder& d = entry.second;
        unsigned int ssrc = 0x52000000u + index++;
        packet[0] = 0x80;
        packet[1] = 0;
        packet[2] = static_cast<unsigned char>(d.seq >> 8);
        packet[3] = static_cast<unsigned char>(d.seq);
        for (int i = 0; i < 4; ++i) {
            packet[4 + i] = static_cast<unsigned char>(d.timestamp >> (24 - 8 * i));
            packet[8 + i] = static_cast<unsigned char>(ssrc >> (24 - 8 * i));
        }
        ++d.seq;
        d.timestamp += 160;
        deliver(d, packet.data(), packet.size());
    }
    flush();
}

void Reflector::drain(int fd, bool requests_too)
{
    unsigned char buf[2048];
    for (int n = 0; n < 4096; ++n) {
        sockaddr_in from;
        socklen_t flen = sizeof(from);
        ssize_t len = recvfrom(fd, buf, sizeof(buf), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &flen);
        if (len < 0)
            return;
        bool request = len == 12 && memcmp(buf, "QVL ", 4) == 0;
        if (request && requests_too)
            on_request(fd, buf, len, from);
        else if (fd == m_enc_fd)
            on_copy(buf, len);
    }
}

void Reflector::run(int enc_fd, int dec_fd)
{
    m_enc_fd = enc_fd;
    const auto deadline = m_start + std::chrono::duration_cast<steady::duration>(
                                        std::chrono::duration<double>(m_opt.run_s));
    const auto period = m_opt.rate > 0 ? std::chrono::duration_cast<steady::duration>(
                                             std::chrono::duration<double>(1.0 / m_opt.rate))
                                       : steady::duration(0);
    auto next_tick = m_start + period;
    unsigned long long ticks = 0;
    const auto jitter_from = m_start + std::chrono::duration_cast<steady::duration>(
                                           std::chrono::duration<double>(m_opt.jitter_from_s));
    const auto jitter_to = jitter_from + std::chrono::duration_cast<steady::duration>(
                                             std::chrono::duration<double>(m_opt.jitter_for_s));
    const auto jitter_late = std::chrono::duration_cast<steady::duration>(
        std::chrono::duration<double, std::milli>(m_opt.jitter_ms));
    auto next_forget = m_start + std::chrono::seconds(1);
    while (!g_stop) {
        auto now = steady::now();
        if (m_opt.run_s > 0 && now >= deadline)
            break;
        // Every other tick late: each transit differs from the one before by the whole delay.
        const auto tick_at = next_tick + (ticks % 2 && next_tick >= jitter_from && next_tick < jitter_to
                                              ? jitter_late : steady::duration(0));
        auto wake = next_forget;
        if (m_opt.rate > 0 && tick_at < wake)
            wake = tick_at;
        if (m_opt.delayed())
            wake = std::min(wake, release(now));
        // To the nanosecond: a held datagram leaves when it is due, not at the next millisecond.
        const long long wait_ns = std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now).count());
        const timespec timeout = {static_cast<time_t>(wait_ns / 1000000000), static_cast<long>(wait_ns % 1000000000)};
        pollfd fds[2] = {{enc_fd, POLLIN, 0}, {dec_fd, POLLIN, 0}};
        int nfds = dec_fd == enc_fd ? 1 : 2;
        if (ppoll(fds, nfds, &timeout, nullptr) > 0) {
            if (fds[0].revents & POLLIN)
                drain(enc_fd, dec_fd == enc_fd);
            if (nfds == 2 && (fds[1].revents & POLLIN))
                drain(dec_fd, true);
        }
        now = steady::now();
        if (now >= next_forget) {
            forget_silent(now);
            next_forget += std::chrono::seconds(1);
        }
        if (m_regroup)
            regroup();
        if (m_opt.rate > 0 && now >= tick_at) {
            generate();
            ++ticks;
            next_tick += period;
            // After a stall, skip what was missed rather than burst.
            if (now - next_tick > std::chrono::seconds(1))
                next_tick = now + period;
        }
    }
    flush_held();
    if (m_opt.counts)
        print_counts();
    if (m_opt.impaired())
        print_impairments();
    printf("reflector: requests %llu copies %llu sent %llu", m_requests, m_copies, m_sent);
    if (m_opt.max_rate > 0 || m_opt.shape > 0)
        printf(" capped %llu", m_capped);
    printf("\n");
    fflush(stdout);
}

void Reflector::print_counts() const
{
    std::vector<unsigned int> ssrc_of(m_stream_of_ssrc.size());
    for (const auto& entry : m_stream_of_ssrc)
        ssrc_of[entry.second] = entry.first;
    for (size_t i = 0; i < ssrc_of.size(); ++i)
        printf("stream %08x copies %llu\n", ssrc_of[i], m_copies_of_stream[i]);
    for (const auto& entry : m_decoders)
        printf("decoder %012lx sent %llu\n", entry.first.first, entry.second.sent);
}

const char USAGE[] = "usage: relaysim-reflector [-a addr] [-e port] [-d port] [-f forget_s] [-g rate] "
                     "[-s size] [-T seconds] [-v] [-c] [-B bytes]\n";

void usage()
{
    fputs(USAGE, stderr);
    exit(2);
}

void help()
{
    fputs(USAGE, stdout);
    fputs("                 [--drop-every N] [--duplicate-every N] [--swap-every N]\n"
          "                 [--counts-file FILE] [--max-rate R] [--shape R[:BURST]] [--jitter MS:FROM:FOR] [--help]\n"
          "  -a addr   address to bind (default all)\n"
          "  -e port   encoder port, where the copies arrive; 0 picks a free port\n"
          "  -d port   decoder port, where the 12-byte requests arrive (default: the encoder port)\n"
          "  -f secs   forget a decoder silent this long (default 12)\n"
          "  -g rate   send generated RTP datagrams to every decoder, rate a second\n"
          "  -s bytes  size of the generated datagrams (default 172)\n"
          "  -T secs   end after this long (default: at SIGINT or SIGTERM)\n"
          "  -v        print every request\n"
          "  -c        at the end, print copies per stream and datagrams sent per decoder\n"
          "  -B bytes  receive buffer of each socket\n"
          "  --drop-every N       per decoder, do not send every Nth datagram (25: 4% lost)\n"
          "  --duplicate-every N  per decoder, send every Nth datagram twice\n"
          "  --swap-every N       per decoder, send every Nth datagram after the next one\n"
          "  --counts-file FILE   also write the end counts below to FILE\n"
          "  --max-rate R         send at most R datagrams a second to all decoders together,\n"
          "                       an equal share each; the rest are dropped (a known capacity)\n"
          "  --shape R[:BURST]    send at most R datagrams a second to all decoders together,\n"
          "                       first come first served, like a kernel's rate shaper with a\n"
          "                       bucket of BURST seconds of R (default 0.04)\n"
          "  --jitter MS:FROM:FOR with -g, from FROM s after start for FOR s, send every other\n"
          "                       tick MS ms late\n"
          "  --delay MS           hold every copy MS ms before it leaves (a known delay)\n"
          "  --delay-jitter MS    and a further uniform 0 to MS ms\n"
          "  --service-us US      one server taking US microseconds a datagram, in arrival order:\n"
          "                       the delay grows with the load (capacity 1000000/US a second)\n"
          "With an impairment or --counts-file, the end prints one line per decoder:\n"
          "  decoder MAC sent S dropped D duplicated U swapped W lost L failed F\n"
          "L is the dropped datagrams a receiver can see as lost (those before the last one sent).\n",
          stdout);
    exit(0);
}

unsigned long every(const char* option, const char* v)
{
    char* end = nullptr;
    errno = 0;
    const long n = strtol(v, &end, 10);
    if (errno || end == v || *end || n < 1) {
        fprintf(stderr, "reflector: %s needs a whole number of at least 1, not \"%s\"\n", option, v);
        exit(2);
    }
    return static_cast<unsigned long>(n);
}

// Options with a whole-number value, and the impairments taking one of at least 1.
struct NumberOption {
    const char* name;
    int Options::*field;
};
const NumberOption NUMBERS[] = {{"-d", &Options::decoder_port}, {"-f", &Options::forget_s}, {"-g", &Options::rate},
                                {"-s", &Options::size}, {"-B", &Options::rcvbuf}};
struct EveryOption {
    const char* name;
    unsigned long Options::*field;
};
const EveryOption EVERY[] = {{"--drop-every", &Options::drop_every},
                             {"--duplicate-every", &Options::duplicate_every},
                             {"--swap-every", &Options::swap_every}};

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string w = argv[i];
        if (w == "-v") {
            opt.verbose = true;
            continue;
        }
        if (w == "-c") {
            opt.counts = true;
            continue;
        }
        if (w == "--help" || w == "-h")
            help();
        if (i + 1 >= argc)
            usage();
        const char* v = argv[++i];
        const auto number = std::find_if(std::begin(NUMBERS), std::end(NUMBERS),
                                         [&](const NumberOption& o) { return w == o.name; });
        const auto count = std::find_if(std::begin(EVERY), std::end(EVERY),
                                        [&](const EveryOption& o) { return w == o.name; });
        if (number != std::end(NUMBERS))
            opt.*number->field = atoi(v);
        else if (count != std::end(EVERY))
            opt.*count->field = every(count->name, v);
        else if (w == "-a")
            opt.bind_addr = inet_addr(v);
        else if (w == "-e")
            opt.encoder_port = static_cast<unsigned short>(atoi(v));
        else if (w == "-T")
            opt.run_s = atof(v);
        else if (w == "--counts-file")
            opt.counts_file = v;
        else if (w == "--max-rate")
            opt.max_rate = static_cast<double>(every("--max-rate", v));
        else if (w == "--shape") {
            const int n = sscanf(v, "%lf:%lf", &opt.shape, &opt.shape_burst_s);
            if (n < 1 || opt.shape < 1 || opt.shape_burst_s < 0) {
                fprintf(stderr, "reflector: --shape needs R[:BURST], not \"%s\"\n", v);
                exit(2);
            }
        } else if (w == "--jitter") {
            if (sscanf(v, "%lf:%lf:%lf", &opt.jitter_ms, &opt.jitter_from_s, &opt.jitter_for_s) != 3 ||
                opt.jitter_ms < 0) {
                fprintf(stderr, "reflector: --jitter needs MS:FROM:FOR, not \"%s\"\n", v);
                exit(2);
            }
        } else if (w == "--delay" || w == "--delay-jitter" || w == "--service-us") {
            char* end = nullptr;
            const double x = strtod(v, &end);
            if (end == v || *end || !(x >= 0) || x > 1e7) {
                fprintf(stderr, "reflector: %s needs a number from 0, not \"%s\"\n", w.c_str(), v);
                exit(2);
            }
            (w == "--delay" ? opt.delay_ms : w == "--delay-jitter" ? opt.delay_jitter_ms : opt.service_us) = x;
        }
        else
            usage();
    }
    if (opt.delayed() && (opt.impaired() || opt.rate > 0)) {
        fprintf(stderr, "reflector: the delay options go with none of the impairments, nor -g\n");
        exit(2);
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    unsigned short enc_port = 0, dec_port = 0;
    int enc_fd = open_socket(opt.bind_addr, opt.encoder_port, enc_port, opt.rcvbuf);
    int dec_fd = enc_fd;
    dec_port = enc_port;
    if (opt.decoder_port >= 0 && opt.decoder_port != enc_port)
        dec_fd = open_socket(opt.bind_addr, static_cast<unsigned short>(opt.decoder_port), dec_port,
                             opt.rcvbuf);
    printf("reflector: encoder port %u decoder port %u\n", enc_port, dec_port);
    fflush(stdout);
    Reflector(opt).run(enc_fd, dec_fd);
    close(enc_fd);
    if (dec_fd != enc_fd)
        close(dec_fd);
    return 0;
}
