// Benchmark: K emulated decoders fed 50 datagrams a second each by the stand-in reflector.
//
// decoder_scale_bench [seconds=30] [K...=100 500 1000 5000] [-r path/to/reflector] [-i ms]
// For each K, in a child process of its own: received share, CPU per datagram (and per 100,000
// datagrams) and resident memory per decoder. Decoders start one after another as relaysim
// starts them, 20 ms apart, but the start-up of a K is held to 20 s (5000 start 4 ms apart);
// -i sets the pause in ms instead.
#include "CExtr.h"
#include "CLogger.h"
#include "ISocketHandler.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const int RATE = 50;
const double STAGGER_MS = 20;
const double MAX_START_S = 20;

// Every selected decoder hands its datagrams here: one count per datagram received.
class Counter : public ISocketHandler {
public:
    void on_raw_data(const sockaddr_in&, unsigned char*, unsigned short) override
    {
        m_count.fetch_add(1, std::memory_order_relaxed);
    }
    std::atomic<unsigned long long> m_count{0};
};

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

// Runs one K in this (child) process and prints one line of figures to `report`.
int run(int k, double seconds, double stagger_ms, const std::string& reflector_path, FILE* report)
{
    CLogger::init("decoder_scale_bench");
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
    if (port == 0) {
        fprintf(report, "K=%d: the reflector at %s did not start\n", k, reflector_path.c_str());
        return 1;
    }

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

    Counter counter;
    const long rss_before = resident_bytes();
    std::vector<std::unique_ptr<CExtr>> decoders;
    decoders.reserve(k);
    // Started all at once, thousands of first requests arrive in one burst and overflow the
    // reflector's queue; relaysim spaces them out, and so does this.
    const auto pause = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(stagger_ms));
    auto next_start = std::chrono::steady_clock::now();
    for (int i = 0; i < k; ++i) {
        decoders.emplace_back(new CExtr("ORVANTEX - " + std::to_string(i),
                                        0x0A0000000000UL + static_cast<unsigned long>(i), &counter));
        decoders.back()->select(true);
        decoders.back()->open(0x7F000001, static_cast<unsigned short>(port));
        decoders.back()->start(nullptr);
        next_start += pause;
        std::this_thread::sleep_until(next_start);
    }
    // Every decoder online: the reflector knows them all.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (CExtr::online_ext < k && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int online = CExtr::online_ext;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long rss_after = resident_bytes();

    const double cpu0 = cpu_seconds();
    const unsigned long long got0 = counter.m_count;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = cpu_seconds() - cpu0;
    const unsigned long long got = counter.m_count - got0;

    // The reflector's own count of what it sent, against everything received.
    kill(refl.pid, SIGTERM);
    waitpid(refl.pid, nullptr, 0);
    reader.join();
    const unsigned long long sent = reflector_sent;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const unsigned long long total = counter.m_count;

    fprintf(report,
            "K=%4d: online %4d, received %llu of %llu sent (share %.5f), in %.0f s: %.0f "
            "datagrams/s, CPU %.2f us per datagram (%.3f s per 100,000), RSS %.1f KiB per "
            "decoder, started %.1f ms apart\n",
            k, online, total, sent, sent ? static_cast<double>(total) / sent : 0.0, seconds,
            got / seconds, got ? cpu * 1e6 / got : 0.0, got ? cpu * 100000.0 / got : 0.0,
            (rss_after - rss_before) / 1024.0 / k, stagger_ms);
    fflush(report);
    // The decoders live until the process ends, as in relaysim.
    for (auto& d : decoders)
        d.release();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 30;
    std::vector<int> ks;
    std::string exe = argv[0];
    std::string reflector = exe.substr(0, exe.rfind('/') + 1) + "../tools/reflector";
    bool seconds_given = false;
    double stagger_ms = -1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
            reflector = argv[++i];
        } else if (strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
            stagger_ms = atof(argv[++i]);
        } else {
            char* end = nullptr;
            const double value = strtod(argv[i], &end);
            if (end == argv[i] || *end != '\0' || !(value > 0) || (seconds_given && value != static_cast<int>(value))) {
                fprintf(stderr, "usage: %s [seconds=30] [K...=100 500 1000 5000] [-r reflector] [-i ms]\n",
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
        ks = {100, 500, 1000, 5000};
    // One descriptor per decoder: thousands need more than the usual soft limit, and 5000
    // may need more than the hard one, which only a privileged process can raise.
    int k_max = 0;
    for (int k : ks)
        k_max = k > k_max ? k : k_max;
    const rlim_t wanted = static_cast<rlim_t>(k_max) + 256;
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < wanted) {
        rlimit raised = files;
        raised.rlim_cur = wanted;
        if (raised.rlim_max < wanted)
            raised.rlim_max = wanted;
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            files.rlim_cur = files.rlim_max;
            setrlimit(RLIMIT_NOFILE, &files);
            printf("descriptor limit %llu: K above that fails to open its sockets\n",
                   static_cast<unsigned long long>(files.rlim_cur));
        }
    }
    printf("decoder scale: %d datagrams/s per decoder of 172 bytes, %.0f s per K, reflector %s\n",
           RATE, seconds, reflector.c_str());
    fflush(stdout);
    for (int k : ks) {
        pid_t child = fork();
        if (child == 0) {
            int saved = dup(STDOUT_FILENO);
            FILE* report = fdopen(saved, "w");
            // The decoders' online messages would drown the figures.
            if (freopen("/dev/null", "w", stdout) == nullptr)
                _exit(1);
            const double ms = stagger_ms >= 0 ? stagger_ms
                                              : std::min(STAGGER_MS, MAX_START_S * 1000.0 / k);
            int rc = run(k, seconds, ms, reflector, report);
            fflush(report);
            _exit(rc);
        }
        int status = 0;
        waitpid(child, &status, 0);
    }
    return 0;
}
