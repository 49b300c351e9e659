// Benchmark: K emulated decoders fed 50 datagrams a second each by the stand-in reflector,
// against the floor of one wake-up per datagram, both measured in this run.
//
// decoder_scale_bench [seconds=30] [K...=1000 10000] [-r path/to/reflector] [-i ms]
//                     [-I intervals=0,100,250] [-f floor_k=1000]
// For each K, each in a child process of its own: first the floor, a bare thread per socket
// that polls and receives one datagram per wake-up (with min(K, floor_k) sockets: at ten
// thousand such threads two cores would be the bottleneck), then relaysim's decoders at each
// receive interval (0: one wake-up per datagram, as the floor). Each line: received share,
// CPU per datagram and its ratio to the floor, resident memory per decoder, start-up time.
// Decoders start one after another as relaysim starts them, 20 ms apart, but the start-up
// of a K is held to 20 s (10000 start 2 ms apart); -i sets the pause in ms instead.
#include "CExtr.h"
#include "CLogger.h"
#include "CThread.h"
#include "ISocketHandler.h"
#include "run_limits.h"
#include "utils.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const int RATE = 50;
const double STAGGER_MS = 20;
const double MAX_START_S = 20;
const unsigned int LOOPBACK = 0x7F000001;

double cpu_seconds()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
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

// The floor: poll, receive one datagram, count it; the decoder request every 4 s.
class Bare : public CThread {
public:
    Bare(unsigned long address, unsigned short port) : m_address(address)
    {
        set_stack_size(CExtr::STACK_SIZE);
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in to = utils::make_address(LOOPBACK, port);
        connect(m_fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
    ~Bare() override
    {
        stop_before_destroy(3000);
        close(m_fd);
    }
    int execute(void*) override
    {
        unsigned char request[CExtr::REQUEST_SIZE];
        CExtr::make_request(utils::mac_big_endian(m_address), request);
        unsigned char buffer[CExtr::BUFFER_SIZE];
        time_t next_send = time(nullptr) - CExtr::REQUEST_PERIOD;
        while (m_keep_running) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, CExtr::POLL_TIMEOUT) > 0 && recv(m_fd, buffer, sizeof(buffer), 0) >= 0)
                m_received.store(m_received.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            const time_t now = time(nullptr);
            if (now > next_send) {
                send(m_fd, request, sizeof(request), 0);
                next_send += CExtr::REQUEST_PERIOD;
            }
        }
        return 0;
    }
    unsigned long long received() const { return m_received.load(std::memory_order_relaxed); }

private:
    unsigned long m_address;
    int m_fd;
    std::atomic<unsigned long long> m_received{0};
};

struct Reflector {
    pid_t pid = -1;
    FILE* out = nullptr;
};

Reflector start_reflector(const std::string& path)
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
        execl(path.c_str(), path.c_str(), "-a", "127.0.0.1", "-e", "0", "-g",
              std::to_string(RATE).c_str(), "-s", "172", "-f", "60", static_cast<char*>(nullptr));
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
    double rate = 0, us_per_datagram = 0, rss_kib = 0, start_s = 0;
};

// A set of receivers under test: either bare floor threads or relaysim's decoders.
struct Receivers {
    std::function<void(int i, unsigned short port)> add;
    std::function<int()> online;
    std::function<unsigned long long()> received;
};

Figures measure(int k, double seconds, double stagger_ms, const std::string& reflector_path,
                Receivers& rx)
{
    Figures f;
    f.k = k;
    Reflector refl = start_reflector(reflector_path);
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

    const long rss_before = resident_bytes();
    // Started all at once, thousands of first requests arrive in one burst and overflow the
    // reflector's queue; relaysim spaces them out, and so does this.
    const auto pause = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(stagger_ms));
    const auto start = std::chrono::steady_clock::now();
    auto next_start = start;
    for (int i = 0; i < k; ++i) {
        rx.add(i, static_cast<unsigned short>(port));
        next_start += pause;
        std::this_thread::sleep_until(next_start);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (rx.online() < k && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    f.start_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.online = rx.online();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    f.rss_kib = (resident_bytes() - rss_before) / 1024.0 / k;

    const unsigned long long got0 = rx.received();
    const double cpu0 = cpu_seconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = cpu_seconds() - cpu0;
    const unsigned long long got = rx.received() - got0;
    f.rate = got / seconds;
    f.us_per_datagram = got ? cpu * 1e6 / got : 0.0;

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
        const int n = snprintf(text, sizeof(text), "%d %d %llu %llu %.6f %.6f %.6f %.6f\n", r.k,
                               r.online, r.received, r.sent, r.rate, r.us_per_datagram, r.rss_kib,
                               r.start_s);
        if (write(fds[1], text, static_cast<size_t>(n)) != n)
            _exit(1);
        // The receivers live until the process ends, as in relaysim.
        _exit(0);
    }
    close(fds[1]);
    FILE* in = fdopen(fds[0], "r");
    if (fscanf(in, "%d %d %llu %llu %lf %lf %lf %lf", &f.k, &f.online, &f.received, &f.sent, &f.rate,
               &f.us_per_datagram, &f.rss_kib, &f.start_s) != 8)
        f = Figures();
    fclose(in);
    waitpid(child, nullptr, 0);
    return f;
}

void print(const char* what, const Figures& f, const Figures* floor)
{
    // The rate reached says whether the reflector could offer the load (50 a decoder).
    printf("  %-30s online %5d of %5d, received %.5f of %llu sent, %7.0f datagrams/s (%.1f a "
           "decoder), CPU %5.2f us per datagram",
           what, f.online, f.k, f.sent ? static_cast<double>(f.received) / f.sent : 0.0, f.sent,
           f.rate, f.k ? f.rate / f.k : 0.0, f.us_per_datagram);
    if (floor && floor->us_per_datagram > 0)
        printf(" = %.2fx the floor", f.us_per_datagram / floor->us_per_datagram);
    printf(", RSS %.1f KiB per decoder, start-up %.1f s\n", f.rss_kib, f.start_s);
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

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 30;
    std::vector<int> ks;
    std::vector<unsigned int> intervals = {0, 100, 250};
    int floor_k = 1000;
    std::string exe = argv[0];
    std::string reflector = exe.substr(0, exe.rfind('/') + 1) + "../tools/reflector";
    bool seconds_given = false;
    double stagger_ms = -1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
            reflector = argv[++i];
        } else if (strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
            stagger_ms = atof(argv[++i]);
        } else if (strcmp(argv[i], "-I") == 0 && i + 1 < argc) {
            intervals = list_of(argv[++i]);
        } else if (strcmp(argv[i], "-f") == 0 && i + 1 < argc) {
            floor_k = atoi(argv[++i]);
        } else {
            char* end = nullptr;
            const double value = strtod(argv[i], &end);
            if (end == argv[i] || *end != '\0' || !(value > 0) ||
                (seconds_given && value != static_cast<int>(value))) {
                fprintf(stderr, "usage: %s [seconds=30] [K...=1000 10000] [-r reflector] [-i ms] "
                                "[-I intervals=0,100,250] [-f floor_k=1000]\n",
                        argv[0]);
                return 2;
            }
            if (!seconds_given) {
                seconds = value;
                seconds_given = true;
            } else {
                ks.push_back(static_cast<int>(value));
            }
        }
    }
    if (ks.empty())
        ks = {1000, 10000};
    int k_max = *std::max_element(ks.begin(), ks.end());
    // The same limits relaysim raises, or the one line it would print.
    if (!run_limits::prepare(static_cast<unsigned long>(k_max)))
        return 1;
    printf("decoder scale: %d datagrams/s per decoder of 172 bytes, %.0f s per run, reflector %s\n",
           RATE, seconds, reflector.c_str());
    fflush(stdout);
    for (int k : ks) {
        const double ms =
            stagger_ms >= 0 ? stagger_ms : std::min(STAGGER_MS, MAX_START_S * 1000.0 / k);
        const int fk = std::min(k, floor_k);
        const double floor_ms = stagger_ms >= 0 ? stagger_ms : std::min(STAGGER_MS, MAX_START_S * 1000.0 / fk);
        printf("K=%d:\n", k);
        fflush(stdout);
        const Figures floor = in_child([&] {
            std::vector<Bare*> bare;
            Receivers rx;
            rx.add = [&](int i, unsigned short port) {
                bare.push_back(new Bare(0x0B0000000000UL + static_cast<unsigned long>(i), port));
                bare.back()->start(nullptr);
            };
            rx.online = [&] {
                int n = 0;
                for (Bare* b : bare)
                    n += b->received() != 0;
                return n;
            };
            rx.received = [&] {
                unsigned long long n = 0;
                for (Bare* b : bare)
                    n += b->received();
                return n;
            };
            return measure(fk, seconds, floor_ms, reflector, rx);
        });
        char what[64];
        snprintf(what, sizeof(what), "floor, poll+recv (K=%d)", fk);
        print(what, floor, nullptr);
        for (unsigned int interval : intervals) {
            const Figures f = in_child([&] {
                std::vector<CExtr*> decoders;
                Receivers rx;
                rx.add = [&](int i, unsigned short port) {
                    CExtr* d = new CExtr("ORVANTEX - " + std::to_string(i),
                                         0x0A0000000000UL + static_cast<unsigned long>(i), nullptr);
                    d->set_receive_interval(interval);
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
                return measure(k, seconds, ms, reflector, rx);
            });
            snprintf(what, sizeof(what), "relaysim, interval %u ms", interval);
            print(what, f, &floor);
        }
    }
    return 0;
}
