// Benchmark: K emulated decoders fed by the stand-in reflector, against two reference
// receivers written for it, all measured in this run against the same sender.
//
// decoder_scale_bench [seconds=30] [K[:rate]...=1000:50 10000:10] [-r path/to/reflector]
//                     [-i start_ms=0] [-I intervals=250] [-R rounds=1]
// For each K (its streams of `rate` datagrams a second, 172 bytes), each receiver in a child
// process of its own:
//   sleep+recvmmsg  a thread per socket that sleeps 250 ms and drains its socket with
//                   recvmmsg: the best relaysim's architecture (a thread and a socket per
//                   decoder) can do; then the same with the kernel's arrival stamp on each
//                   datagram, as relaysim's jitter needs;
//   epoll, N/core   one thread per core that every 250 ms drains each ready socket through
//                   epoll: the limit of this machine;
//   relaysim        the emulated decoders at each receive interval of -I.
// Each line: received share (of what the reflector sent), rate reached, CPU per datagram and
// its ratio to each reference, wake-ups per datagram, memory per decoder (user space, and
// with the kernel's part: thread stacks, sockets, their slab), start-up time. Receivers start
// -i ms apart (0: all at once). With -R, the receivers take turns that many times and each
// row's median ratio to the thread-per-socket reference closes the table.
#include "CExtr.h"
#include "CSendLog.h"
#include "CLogger.h"
#include "CThread.h"
#include "run_limits.h"
#include "utils.h"

#include <arpa/inet.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const unsigned int INTERVAL_MS = 250;
const unsigned int LOOPBACK = 0x7F000001;

struct Usage {
    double cpu_s = 0;
    long wakes = 0;  // voluntary context switches: a thread that slept and woke
};

Usage usage_now()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return {ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6,
            ru.ru_nvcsw};
}

long resident_bytes()
{
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (f) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

// The kernel's memory that grows with threads and sockets (KiB): their kernel stacks, the
// unreclaimable slab (socket, file and task structures, queued datagrams) and page tables.
// System-wide: other work on the machine moves it too (the reclaimable slab, file caches
// that builds grow, is left out for that).
long kernel_kib()
{
    FILE* f = fopen("/proc/meminfo", "r");
    if (!f)
        return 0;
    char name[64];
    long kib = 0, sum = 0;
    while (fscanf(f, "%63s %ld kB\n", name, &kib) == 2)
        if (strcmp(name, "KernelStack:") == 0 || strcmp(name, "SUnreclaim:") == 0 || strcmp(name, "PageTables:") == 0)
            sum += kib;
    fclose(f);
    return sum;
}

timespec after_ms(timespec t, unsigned int ms)
{
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    t.tv_sec += ms / 1000 + t.tv_nsec / 1000000000L;
    t.tv_nsec %= 1000000000L;
    return t;
}

int connected_socket(unsigned short port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = utils::make_address(LOOPBACK, port);
    connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    return fd;
}

// Room for one recvmmsg of up to BATCH datagrams.
struct Batch {
    enum { SIZE = CExtr::BATCH };
    // Not zeroed: only the pages datagrams reach become resident, as in relaysim's batches.
    std::unique_ptr<unsigned char[]> data{new unsigned char[SIZE * CExtr::BUFFER_SIZE]};
    mmsghdr msgs[SIZE];
    iovec iov[SIZE];
    // Room for each datagram's arrival stamp, when asked for.
    alignas(cmsghdr) unsigned char control[SIZE][CMSG_SPACE(sizeof(timespec))];
    Batch()
    {
        memset(msgs, 0, sizeof(msgs));
        for (int i = 0; i < SIZE; ++i) {
            iov[i] = {&data[i * CExtr::BUFFER_SIZE], CExtr::BUFFER_SIZE};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
    }
    // Everything queued on fd: how many datagrams.
    unsigned int drain(int fd, bool stamps = false)
    {
        unsigned int total = 0;
        int n;
        do {
            if (stamps)
                for (int i = 0; i < SIZE; ++i) {
                    msgs[i].msg_hdr.msg_control = control[i];
                    msgs[i].msg_hdr.msg_controllen = sizeof(control[i]);
                }
            n = recvmmsg(fd, msgs, SIZE, MSG_DONTWAIT, nullptr);
            if (n > 0)
                total += static_cast<unsigned int>(n);
        } while (n == SIZE);
        return total;
    }
};

void count(std::atomic<unsigned long long>& c, unsigned int n)
{
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Reference 1: a thread per socket that sleeps the interval and drains with recvmmsg; the
// decoder request every 4 s; the same timer slack as relaysim's decoders.
class SleepDrain : public CThread {
public:
    SleepDrain(unsigned long address, unsigned short port, bool stamps)
        : m_address(address), m_fd(connected_socket(port)), m_stamps(stamps)
    {
        set_stack_size(CExtr::STACK_SIZE);
        const int on = 1;
        if (stamps)
            setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    }
    int execute(void*) override
    {
        set_timer_slack(INTERVAL_MS / 8 * 1000000UL);
        unsigned char request[CExtr::REQUEST_SIZE];
        CExtr::make_request(utils::mac_big_endian(m_address), request);
        Batch batch;
        time_t next_send = time(nullptr) - CExtr::REQUEST_PERIOD;
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        while (m_keep_running) {
            const time_t now = time(nullptr);
            if (now > next_send) {
                send(m_fd, request, sizeof(request), 0);
                next_send += CExtr::REQUEST_PERIOD;
            }
            deadline = after_ms(deadline, INTERVAL_MS);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
            count(m_received, batch.drain(m_fd, m_stamps));
        }
        return 0;
    }
    unsigned long long received() const { return m_received.load(std::memory_order_relaxed); }

private:
    unsigned long m_address;
    int m_fd;
    bool m_stamps;
    std::atomic<unsigned long long> m_received{0};
};

// Reference 2: one thread per core; every interval it drains each socket epoll finds ready,
// and every 4 s sends each of its sockets' requests.
class PerCore : public CThread {
public:
    explicit PerCore(size_t k) : m_ep(epoll_create1(EPOLL_CLOEXEC)), m_received(new std::atomic<unsigned long long>[k]())
    {
        set_stack_size(CExtr::STACK_SIZE);
    }
    // From the main thread while the thread runs: the first request leaves at once.
    void add(size_t i, unsigned long address, unsigned short port)
    {
        Socket s{connected_socket(port), {}};
        CExtr::make_request(utils::mac_big_endian(address), s.request);
        send(s.fd, s.request, sizeof(s.request), 0);
        epoll_event e{};
        e.events = EPOLLIN;
        // The index and the descriptor travel with the event.
        e.data.u64 = (static_cast<uint64_t>(i) << 32) | static_cast<uint32_t>(s.fd);
        epoll_ctl(m_ep, EPOLL_CTL_ADD, s.fd, &e);
        std::lock_guard<std::mutex> g(m_lock);
        m_sockets.push_back(s);
    }
    int execute(void*) override
    {
        Batch batch;
        std::vector<epoll_event> ready(1024);
        time_t next_send = time(nullptr);
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        while (m_keep_running) {
            deadline = after_ms(deadline, INTERVAL_MS);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
            int n;
            do {
                n = epoll_wait(m_ep, ready.data(), static_cast<int>(ready.size()), 0);
                for (int j = 0; j < n; ++j) {
                    const uint64_t d = ready[j].data.u64;
                    count(m_received[d >> 32], batch.drain(static_cast<int>(d & 0xFFFFFFFFu)));
                }
            } while (n == static_cast<int>(ready.size()));
            if (time(nullptr) > next_send) {
                next_send += CExtr::REQUEST_PERIOD;
                std::lock_guard<std::mutex> g(m_lock);
                for (const Socket& s : m_sockets)
                    send(s.fd, s.request, sizeof(s.request), 0);
            }
        }
        return 0;
    }
    unsigned long long received(size_t i) const { return m_received[i].load(std::memory_order_relaxed); }

private:
    struct Socket {
        int fd;
        unsigned char request[CExtr::REQUEST_SIZE];
    };
    int m_ep;
    std::unique_ptr<std::atomic<unsigned long long>[]> m_received;
    std::mutex m_lock;
    std::vector<Socket> m_sockets;
};

struct Reflector {
    pid_t pid = -1;
    FILE* out = nullptr;
};

Reflector start_reflector(const std::string& path, int rate)
{
    int fds[2];
    Reflector r;
    if (pipe(fds) != 0)
        return r;
    r.pid = fork();
    if (r.pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        execl(path.c_str(), path.c_str(), "-a", "127.0.0.1", "-e", "0", "-g", std::to_string(rate).c_str(),
              "-s", "172", "-f", "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    r.out = fdopen(fds[0], "r");
    return r;
}

// The figures of one run, handed from the child to the parent as one text line.
struct Figures {
    int k = 0;
    int online = 0;
    unsigned long long received = 0, sent = 0;
    double rate = 0, us_per_datagram = 0, wakes_per_datagram = 0, user_kib = 0, kernel_kib = 0, start_s = 0;
};

// A set of receivers under test.
struct Receivers {
    std::function<void(int i, unsigned short port)> add;
    std::function<int()> online;
    std::function<unsigned long long()> received;
};

Figures measure(int k, int rate, double seconds, double start_ms, const std::string& reflector_path, Receivers& rx)
{
    Figures f;
    f.k = k;
    Reflector refl = start_reflector(reflector_path, rate);
    unsigned int port = 0;
    char line[256];
    while (refl.out && fgets(line, sizeof(line), refl.out)) {
        unsigned int enc = 0, dec = 0;
        if (sscanf(line, "reflector: encoder port %u decoder port %u", &enc, &dec) == 2) {
            port = dec;
            break;
        }
    }
    if (port == 0)
        return f;
    // The reflector prints a line per decoder that joins: thousands of them fill the pipe
    // and would stall it if nobody read them.
    std::atomic<unsigned long long> reflector_sent{0};
    std::thread reader([&refl, &reflector_sent] {
        char text[256];
        while (fgets(text, sizeof(text), refl.out)) {
            unsigned long long rq, cp, sent;
            if (sscanf(text, "reflector: requests %llu copies %llu sent %llu", &rq, &cp, &sent) == 3)
                reflector_sent = sent;
        }
    });

    // The previous receiver's threads and sockets are freed by the kernel after its process
    // ended, which would show here as a negative share: wait (a few seconds at most) until the
    // kernel's part stops falling.
    long kernel_before = kernel_kib();
    for (int i = 0; i < 15; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const long now = kernel_kib();
        const bool settled = now > kernel_before - 256;
        kernel_before = now;
        if (settled)
            break;
    }
    const long rss_before = resident_bytes();
    const auto pause = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(start_ms));
    const auto start = std::chrono::steady_clock::now();
    auto next_start = start;
    for (int i = 0; i < k; ++i) {
        rx.add(i, static_cast<unsigned short>(port));
        next_start += pause;
        if (start_ms > 0)
            std::this_thread::sleep_until(next_start);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (rx.online() < k && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    f.start_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.online = rx.online();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    f.user_kib = (resident_bytes() - rss_before) / 1024.0 / k;
    f.kernel_kib = static_cast<double>(kernel_kib() - kernel_before) / k;

    const unsigned long long got0 = rx.received();
    const Usage u0 = usage_now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const Usage u1 = usage_now();
    const unsigned long long got = rx.received() - got0;
    f.rate = got / seconds;
    f.us_per_datagram = got ? (u1.cpu_s - u0.cpu_s) * 1e6 / got : 0.0;
    f.wakes_per_datagram = got ? static_cast<double>(u1.wakes - u0.wakes) / got : 0.0;

    // The reflector's own count of what it sent, against everything received.
    kill(refl.pid, SIGTERM);
    waitpid(refl.pid, nullptr, 0);
    reader.join();
    // What is still queued is taken within the longest receive interval.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    f.sent = reflector_sent;
    f.received = rx.received();
    return f;
}

// Runs one measurement in a child process; its figures come back through a pipe.
Figures in_child(const std::function<Figures()>& body)
{
    int fds[2];
    Figures f;
    if (pipe(fds) != 0)
        return f;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        // The decoders' online messages would drown the figures.
        if (freopen("/dev/null", "w", stdout) == nullptr)
            _exit(1);
        CLogger::init("decoder_scale_bench");
        CLogger::m_logger->m_mode_syslog = false;
        const Figures r = body();
        char text[512];
        const int n = snprintf(text, sizeof(text), "%d %d %llu %llu %.6f %.6f %.6f %.6f %.6f %.6f\n", r.k,
                               r.online, r.received, r.sent, r.rate, r.us_per_datagram, r.wakes_per_datagram,
                               r.user_kib, r.kernel_kib, r.start_s);
        if (write(fds[1], text, static_cast<size_t>(n)) != n)
            _exit(1);
        // The receivers live until the process ends, as in relaysim.
        _exit(0);
    }
    close(fds[1]);
    FILE* in = fdopen(fds[0], "r");
    if (fscanf(in, "%d %d %llu %llu %lf %lf %lf %lf %lf %lf", &f.k, &f.online, &f.received, &f.sent, &f.rate,
               &f.us_per_datagram, &f.wakes_per_datagram, &f.user_kib, &f.kernel_kib, &f.start_s) != 10)
        f = Figures();
    fclose(in);
    waitpid(child, nullptr, 0);
    return f;
}

void print_header()
{
    printf("  %-26s | %11s | %8s | %-15s | %7s | %8s | %8s | %-21s | %7s\n", "receiver", "online", "received",
           "rate reached", "CPU/dgm", "x sleep", "x epoll", "memory/decoder", "start");
}

void print(const char* what, const Figures& f, const Figures* sleep_ref, const Figures* epoll_ref)
{
    const auto ratio = [&f](const Figures* ref, char* out) {
        if (ref && ref->us_per_datagram > 0)
            snprintf(out, 16, "%.2fx", f.us_per_datagram / ref->us_per_datagram);
        else
            snprintf(out, 16, "1");
    };
    char to_sleep[16], to_epoll[16];
    ratio(sleep_ref, to_sleep);
    ratio(epoll_ref, to_epoll);
    char rate[32];
    snprintf(rate, sizeof(rate), "%.0f/s (%.1f)", f.rate, f.k ? f.rate / f.k : 0.0);
    char memory[48];
    snprintf(memory, sizeof(memory), "%.1f+%.1f=%.1f KiB", f.user_kib, f.kernel_kib, f.user_kib + f.kernel_kib);
    printf("  %-26s | %5d/%5d | %8.5f | %-15s | %4.2f us | %8s | %8s | %-21s | %5.1f s\n", what, f.online, f.k,
           f.sent ? static_cast<double>(f.received) / f.sent : 0.0, rate, f.us_per_datagram, to_sleep, to_epoll,
           memory, f.start_s);
    printf("  %-26s   (wake-ups per datagram %.3f; %llu received of %llu sent)\n", "", f.wakes_per_datagram,
           f.received, f.sent);
    fflush(stdout);
}

std::vector<unsigned int> list_of(const char* text)
{
    std::vector<unsigned int> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        out.push_back(static_cast<unsigned int>(atoi(item.c_str())));
    return out;
}

unsigned int cores()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) != 0)
        return 1;
    return static_cast<unsigned int>(std::max(1, CPU_COUNT(&set)));
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 30;
    std::vector<std::pair<int, int>> runs;  // K, datagrams a second per decoder
    std::vector<unsigned int> intervals = {INTERVAL_MS};
    std::string exe = argv[0];
    std::string reflector = exe.substr(0, exe.rfind('/') + 1) + "../tools/reflector";
    bool seconds_given = false;
    double start_ms = 0;
    int rounds = 1;
    for (int i = 1; i < argc; ++i) {
        int k = 0, rate = 50;
        if (strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
            reflector = argv[++i];
        } else if (strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
            start_ms = atof(argv[++i]);
        } else if (strcmp(argv[i], "-R") == 0 && i + 1 < argc && atoi(argv[i + 1]) > 0) {
            rounds = atoi(argv[++i]);
        } else if (strcmp(argv[i], "-I") == 0 && i + 1 < argc) {
            intervals = list_of(argv[++i]);
        } else if (!seconds_given && atof(argv[i]) > 0 && strchr(argv[i], ':') == nullptr) {
            seconds = atof(argv[i]);
            seconds_given = true;
        } else if (sscanf(argv[i], "%d:%d", &k, &rate) >= 1 && k > 0 && rate > 0) {
            runs.emplace_back(k, rate);
        } else {
            fprintf(stderr, "usage: %s [seconds=30] [K[:rate]...=1000:50 10000:10] [-r reflector] "
                            "[-i start_ms=0] [-I intervals=250] [-R rounds=1]\n",
                    argv[0]);
            return 2;
        }
    }
    if (runs.empty())
        runs = {{1000, 50}, {10000, 10}};
    int k_max = 0;
    for (const auto& r : runs)
        k_max = std::max(k_max, r.first);
    if (!run_limits::prepare(static_cast<unsigned long>(k_max)))
        return 1;
    const unsigned int n_cores = cores();
    printf("decoder scale: 172-byte datagrams, %.0f s per run, receivers started %.0f ms apart, "
           "%u cores, reflector %s\n",
           seconds, start_ms, n_cores, reflector.c_str());
    fflush(stdout);
    for (const auto& run : runs) {
        const int k = run.first, rate = run.second;
        printf("K=%d at %d/s each (%d/s offered):\n", k, rate, k * rate);
        // Each row's ratio to the thread-per-socket reference, round by round.
        std::vector<std::pair<std::string, std::vector<double>>> ratios;
        const auto note_ratio = [&ratios](const std::string& what, const Figures& f, const Figures& ref) {
            if (ref.us_per_datagram <= 0 || f.us_per_datagram <= 0)
                return;
            auto row = std::find_if(ratios.begin(), ratios.end(), [&](const auto& r) { return r.first == what; });
            if (row == ratios.end())
                row = ratios.insert(ratios.end(), {what, {}});
            row->second.push_back(f.us_per_datagram / ref.us_per_datagram);
        };
        for (int round = 1; round <= rounds; ++round) {
            if (rounds > 1)
                printf(" round %d of %d\n", round, rounds);
            print_header();
            fflush(stdout);
            const auto sleep_drain = [&](bool stamps) {
                return in_child([&] {
                    std::vector<SleepDrain*> threads;
                    Receivers rx;
                    rx.add = [&](int i, unsigned short port) {
                        threads.push_back(new SleepDrain(0x0B0000000000UL + static_cast<unsigned long>(i), port, stamps));
                        threads.back()->start(nullptr);
                    };
                    rx.online = [&] {
                        int n = 0;
                        for (SleepDrain* t : threads)
                            n += t->received() != 0;
                        return n;
                    };
                    rx.received = [&] {
                        unsigned long long n = 0;
                        for (SleepDrain* t : threads)
                            n += t->received();
                        return n;
                    };
                    return measure(k, rate, seconds, start_ms, reflector, rx);
                });
            };
            const Figures sleep_ref = sleep_drain(false);
            print("thread/socket sleep+mmsg", sleep_ref, nullptr, nullptr);
            // The same with the kernel's arrival stamp on each datagram, which relaysim's
            // jitter needs and the reference does not: what the stamp alone costs.
            const Figures stamped = sleep_drain(true);
            print("  the same, arrival stamps", stamped, &sleep_ref, nullptr);
            note_ratio("  the same, arrival stamps", stamped, sleep_ref);
            const Figures epoll_ref = in_child([&] {
                std::vector<PerCore*> threads;
                for (unsigned int c = 0; c < n_cores; ++c) {
                    threads.push_back(new PerCore(static_cast<size_t>(k)));
                    threads.back()->start(nullptr);
                }
                Receivers rx;
                rx.add = [&](int i, unsigned short port) {
                    threads[i % n_cores]->add(static_cast<size_t>(i), 0x0C0000000000UL + static_cast<unsigned long>(i),
                                              port);
                };
                const auto each = [&](const std::function<void(unsigned long long)>& f) {
                    for (int i = 0; i < k; ++i)
                        f(threads[i % n_cores]->received(static_cast<size_t>(i)));
                };
                rx.online = [&] {
                    int n = 0;
                    each([&n](unsigned long long r) { n += r != 0; });
                    return n;
                };
                rx.received = [&] {
                    unsigned long long n = 0;
                    each([&n](unsigned long long r) { n += r; });
                    return n;
                };
                return measure(k, rate, seconds, start_ms, reflector, rx);
            });
            char what[64];
            snprintf(what, sizeof(what), "%u threads epoll+mmsg", n_cores);
            print(what, epoll_ref, &sleep_ref, nullptr);
            note_ratio(what, epoll_ref, sleep_ref);
            // The delay measurement's cost: the same decoders, each datagram looked up in a send
            // log that holds every stream's SSRC (the stand-in's generated streams are none of
            // relaysim's sends, so the lookup goes all the way and finds no entry: the whole
            // per-datagram cost but the histogram's few stores).
            std::vector<std::pair<unsigned int, bool>> variants;
            for (unsigned int interval : intervals)
                variants.push_back({interval, false});
            if (!intervals.empty())
                variants.push_back({intervals.front(), true});
            std::vector<uint32_t> ssrcs;
            for (int i = 0; i < k; ++i)
                ssrcs.push_back(0x52000000u + static_cast<uint32_t>(i));
            const CSendLog send_log(ssrcs);
            for (const auto& variant : variants) {
                const unsigned int interval = variant.first;
                const bool delay = variant.second;
                const Figures f = in_child([&] {
                    std::vector<CExtr*> decoders;
                    Receivers rx;
                    rx.add = [&](int i, unsigned short port) {
                        CExtr* d = new CExtr("ORVANTEX - " + std::to_string(i),
                                             0x0A0000000000UL + static_cast<unsigned long>(i), nullptr);
                        d->set_receive_interval(interval);
                        if (delay)
                            d->set_send_log(&send_log);
                        d->open(LOOPBACK, port);
                        d->start(nullptr);
                        decoders.push_back(d);
                    };
                    rx.online = [] { return CExtr::online_ext.load(); };
                    rx.received = [&] {
                        unsigned long long n = 0;
                        for (CExtr* d : decoders)
                            n += d->stats().snapshot().received;
                        return n;
                    };
                    return measure(k, rate, seconds, start_ms, reflector, rx);
                });
                snprintf(what, sizeof(what), "relaysim, interval %u ms%s", interval, delay ? ", delay" : "");
                print(what, f, &sleep_ref, &epoll_ref);
                note_ratio(what, f, sleep_ref);
            }
        }
        if (rounds > 1) {
            // One round's ratio moves with the machine's other work; the median of rounds
            // that alternate the receivers is the figure to compare.
            printf(" x sleep+mmsg over %d rounds: median (lowest-highest)\n", rounds);
            for (auto& row : ratios) {
                std::vector<double>& r = row.second;
                std::sort(r.begin(), r.end());
                const double median = r.size() % 2 ? r[r.size() / 2] : (r[r.size() / 2 - 1] + r[r.size() / 2]) / 2;
                printf("  %-26s   %.2fx (%.2f-%.2fx)\n", row.first.c_str(), median, r.front(), r.back());
            }
        }
    }
    return 0;
}
