// Tests of the configuration-server lookup against the stand-in server tools/config_server.py.
#include "CGetConfig.h"

#include "CLogger.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

// The lookup's receive goes through one of these; the test can make the next
// one fail, as a read may after poll() reported input.
namespace {
std::atomic<bool> g_fail_next_recv{false};
std::atomic<int> g_sends{0};

bool take_failure()
{
    if (!g_fail_next_recv.exchange(false))
        return false;
    errno = EIO;
    return true;
}
}  // namespace

extern "C" ssize_t recv(int fd, void* buf, size_t len, int flags)
{
    using fn = ssize_t (*)(int, void*, size_t, int);
    static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "recv"));
    if (take_failure())
        return -1;
    return real(fd, buf, len, flags);
}

extern "C" ssize_t recvfrom(int fd, void* buf, size_t len, int flags, sockaddr* from,
                            socklen_t* fromlen)
{
    using fn = ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*);
    static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "recvfrom"));
    if (take_failure())
        return -1;
    return real(fd, buf, len, flags, from, fromlen);
}

extern "C" ssize_t sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* to,
                          socklen_t tolen)
{
    using fn = ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);
    static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "sendto"));
    g_sends.fetch_add(1);
    return real(fd, buf, len, flags, to, tolen);
}

namespace {

using Clock = std::chrono::steady_clock;

const std::string kPrefix = "CGetConfig::get_reflector():";
const std::string kRequestTail = "&get_config=fw_type=v.1,cfg_ver=4,set_ver=0";

// Runs the stand-in on an ephemeral loopback port and reads its report lines.
class StandIn {
public:
    explicit StandIn(const std::vector<std::string>& args)
    {
        // It ends with the end of its input, so it goes down with this process however that ends.
        std::vector<std::string> argv = {"python3", LUMATRA_SOURCE_DIR "/tools/config_server.py",
                                         "--until-eof"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv)
            cargv.push_back(&a[0]);
        cargv.push_back(nullptr);

        int out[2];
        int in[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        m_out = out[0];
        if (pipe2(in, O_CLOEXEC) != 0) {
            close(out[1]);
            return;
        }
        m_in = in[1];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (posix_spawnp(&m_pid, "python3", &actions, nullptr, cargv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(in[0]);

        std::string first;
        if (m_pid > 0 && next_line(first))
            m_port = static_cast<unsigned short>(atoi(first.c_str()));
    }

    ~StandIn()
    {
        if (m_in >= 0)
            close(m_in);
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0)
            close(m_out);
    }

    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    unsigned short port() const { return m_port; }

    // Next line of its output, waiting up to 10 s for it.
    bool next_line(std::string& line)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        for (;;) {
            const auto nl = m_pending.find('\n');
            if (nl != std::string::npos) {
                line = m_pending.substr(0, nl);
                m_pending.erase(0, nl + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p = {m_out, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = ::read(m_out, buf, sizeof(buf));
            if (n <= 0)
                return false;
            m_pending.append(buf, static_cast<size_t>(n));
        }
    }

    // The requests it has received, as "(N bytes): text", skipping its other lines.
    std::vector<std::string> requests(size_t count)
    {
        std::vector<std::string> seen;
        std::string line;
        while (seen.size() < count && next_line(line)) {
            if (line.compare(0, 8, "request ") == 0)
                seen.push_back(line.substr(line.find(" (") + 1));
        }
        return seen;
    }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    unsigned short m_port = 0;
    std::string m_pending;
};

class CGetConfigTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Socket failures are logged; the logger must exist before any.
        testing::internal::CaptureStdout();
        CLogger::init("CGetConfig_test");
        testing::internal::GetCapturedStdout();
    }

    // The lookup's own console text for one call.
    static std::string lookup(CGetConfig& cfg, const std::string& mac, unsigned int& ip,
                              unsigned short& port, bool& found)
    {
        testing::internal::CaptureStdout();
        found = cfg.get_reflector(mac, ip, port);
        return testing::internal::GetCapturedStdout();
    }

    static std::string answered(const std::string& reply, const std::string& host, int port)
    {
        return kPrefix + "Entry\n" + kPrefix + "Response => " + reply + "\nReflector Host=" +
               host + ":" + std::to_string(port) + "\n" + kPrefix + "Exit\n";
    }

    static double seconds_since(Clock::time_point start)
    {
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
};

TEST_F(CGetConfigTest, RequestIsPrefixMacTextAndSuffixOnly)
{
    const std::string reply = "id=12,ref_ip=127.0.0.1,audio_port=5004,";
    StandIn server({"--reply", reply});
    ASSERT_NE(server.port(), 0);
    CGetConfig cfg("127.0.0.1", server.port());
    cfg.init();

    const std::vector<std::string> macs = {"001122334455", "00:11:22:33:44:55", ""};
    for (const auto& mac : macs) {
        SCOPED_TRACE(mac);
        unsigned int ip = 0;
        unsigned short port = 0;
        bool found = false;
        const std::string out = lookup(cfg, mac, ip, port, found);
        EXPECT_TRUE(found);
        EXPECT_EQ(out, answered(reply, "127.0.0.1", 5004));
        EXPECT_EQ(ip, 0x7F000001u);
        EXPECT_EQ(port, 5004);

        const std::string text = "id=12&mac=" + mac + kRequestTail;
        const auto got = server.requests(1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], "(" + std::to_string(text.size()) + " bytes): " + text);
    }
}

TEST_F(CGetConfigTest, ReplyAfterSecondSendEndsTheWaitAtOnce)
{
    const std::string reply = "x,ref_ip=127.0.0.2,audio_port=6000";
    StandIn server({"--silent", "1", "--reply", reply});
    ASSERT_NE(server.port(), 0);
    CGetConfig cfg("127.0.0.1", server.port());
    cfg.init();

    unsigned int ip = 0;
    unsigned short port = 0;
    bool found = false;
    const auto start = Clock::now();
    const std::string out = lookup(cfg, "001122334455", ip, port, found);
    const double took = seconds_since(start);

    EXPECT_TRUE(found);
    EXPECT_EQ(ip, 0x7F000002u);
    EXPECT_EQ(port, 6000);
    const std::string request = "id=12&mac=001122334455" + kRequestTail;
    EXPECT_EQ(out, kPrefix + "Entry\n" + kPrefix + "request => " + request + "\n" +
                       kPrefix + "Response => " + reply + "\nReflector Host=127.0.0.2:6000\n" +
                       kPrefix + "Exit\n");
    EXPECT_EQ(server.requests(2).size(), 2u);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.0);
}

TEST_F(CGetConfigTest, NoReplyGivesFalseAfterFourSendsAndFiveWaits)
{
    StandIn server({"--silent", "1000"});
    ASSERT_NE(server.port(), 0);
    CGetConfig cfg("127.0.0.1", server.port());
    cfg.init();

    unsigned int ip = 0x01020304;
    unsigned short port = 1234;
    bool found = true;
    const auto start = Clock::now();
    const std::string out = lookup(cfg, "AABBCCDDEEFF", ip, port, found);
    const double took = seconds_since(start);

    EXPECT_FALSE(found);
    EXPECT_EQ(ip, 0x01020304u);
    EXPECT_EQ(port, 1234);
    const std::string again = kPrefix + "request => id=12&mac=AABBCCDDEEFF" + kRequestTail + "\n";
    EXPECT_EQ(out, kPrefix + "Entry\n" + again + again + again + kPrefix +
                       "No reply from config server\n");
    EXPECT_EQ(server.requests(4).size(), 4u);
    EXPECT_GE(took, 4.8);
    EXPECT_LT(took, 8.0);
}

TEST_F(CGetConfigTest, ReplyParsing)
{
    struct Case {
        const char* sent;      // as given to the stand-in, backslash escapes decoded
        const char* shown;     // the reply text up to its first zero byte
        const char* host;      // as printed
        unsigned int ip;
        unsigned short port;
    };
    const unsigned int kIp = 0x0A000001;  // the caller's values before each call
    const unsigned short kPort = 999;
    const Case cases[] = {
        {"x,ref_ip=10.1.2.3,audio_port=7000", "x,ref_ip=10.1.2.3,audio_port=7000", "10.1.2.3",
         0x0A010203, 7000},
        {"ref_ip=10.1.2.3,audio_port=7000", "ref_ip=10.1.2.3,audio_port=7000", "Null", kIp, 7000},
        {"audio_port=7000,ref_ip=10.1.2.3,", "audio_port=7000,ref_ip=10.1.2.3,", "10.1.2.3",
         0x0A010203, kPort},
        {"x,ref_ip=10.1.2.3", "x,ref_ip=10.1.2.3", "Null", kIp, kPort},
        {"x,audio_port=abc", "x,audio_port=abc", "Null", kIp, 0},
        {"x,audio_port=70000", "x,audio_port=70000", "Null", kIp, 4464},
        {"x,audio_port= -1,", "x,audio_port= -1,", "Null", kIp, 65535},
        {"xaudio_port=+42x", "xaudio_port=+42x", "Null", kIp, 42},
        {"x,ref_ip=cfg-reflector.invalid,audio_port=5", "x,ref_ip=cfg-reflector.invalid,audio_port=5",
         "cfg-reflector.invalid", 0, 5},
        {"x,ref_ip=,", "x,ref_ip=,", "", 0, kPort},
        {"x,ref_ip=10.0.0.7,ref_ip=10.0.0.8,audio_port=1,audio_port=2",
         "x,ref_ip=10.0.0.7,ref_ip=10.0.0.8,audio_port=1,audio_port=2", "10.0.0.7", 0x0A000007, 1},
        {"x,audio_port=5\\0,ref_ip=10.0.0.9,", "x,audio_port=5", "Null", kIp, 5},
        {"", "", "Null", kIp, kPort},
    };

    std::vector<std::string> args;
    for (const auto& c : cases) {
        args.push_back("--reply");
        args.push_back(c.sent);
    }
    StandIn server(args);
    ASSERT_NE(server.port(), 0);
    CGetConfig cfg("127.0.0.1", server.port());
    cfg.init();

    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent);
        unsigned int ip = kIp;
        unsigned short port = kPort;
        bool found = false;
        const std::string out = lookup(cfg, "001122334455", ip, port, found);
        EXPECT_TRUE(found);
        EXPECT_EQ(out, answered(c.shown, c.host, c.port));
        EXPECT_EQ(ip, c.ip);
        EXPECT_EQ(port, c.port);
    }
}

TEST_F(CGetConfigTest, ReplyOf1024BytesOrMoreIsCutTo1024)
{
    // "audio_port=12345" straddles the cut: only "12" is left of the number.
    std::string straddling = "x,ref_ip=127.0.0.1,";
    straddling += std::string(1022 - straddling.size() - 11, '.') + "audio_port=12345,";
    std::string exact = std::string(1024 - 13, '.') + "audio_port=77";
    std::string beyond = "x" + std::string(3000, '.') + "audio_port=1";
    ASSERT_EQ(straddling.find("12345"), 1022u);
    ASSERT_EQ(exact.size(), 1024u);

    StandIn server({"--reply", straddling, "--reply", exact, "--reply", beyond});
    ASSERT_NE(server.port(), 0);
    CGetConfig cfg("127.0.0.1", server.port());
    cfg.init();

    struct Case {
        const std::string& sent;
        const char* host;
        unsigned int ip;
        unsigned short port;
    };
    const Case cases[] = {
        {straddling, "127.0.0.1", 0x7F000001, 12},
        {exact, "Null", 0, 77},
        {beyond, "Null", 0, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent.size());
        unsigned int ip = 0;
        unsigned short port = 3;
        bool found = false;
        const std::string out = lookup(cfg, "001122334455", ip, port, found);
        EXPECT_TRUE(found);
        EXPECT_EQ(out, answered(c.sent.substr(0, 1024), c.host, c.port));
        EXPECT_EQ(ip, c.ip);
        EXPECT_EQ(port, c.port);
    }
}

TEST_F(CGetConfigTest, ReadFailingAfterInputReportsNoReply)
{
    StandIn server({"--reply", "x,ref_ip=127.0.0.1,audio_port=5004,"});
    ASSERT_NE(server.port(), 0);
    CGetConfig cfg("127.0.0.1", server.port());
    cfg.init();

    unsigned int ip = 0x01020304;
    unsigned short port = 1234;
    bool found = true;
    g_fail_next_recv = true;
    const std::string out = lookup(cfg, "001122334455", ip, port, found);
    const bool failure_used = !g_fail_next_recv.exchange(false);

    ASSERT_TRUE(failure_used) << "the reply was not read through recv or recvfrom";
    EXPECT_FALSE(found);
    EXPECT_EQ(ip, 0x01020304u);
    EXPECT_EQ(port, 1234);
    EXPECT_EQ(out, kPrefix + "Entry\n" + kPrefix + "No reply from config server\n");
}

TEST_F(CGetConfigTest, UnresolvableServerSendsNothing)
{
    CGetConfig cfg("config-server.invalid", 9);
    cfg.init();

    unsigned int ip = 0x01020304;
    unsigned short port = 1234;
    bool found = true;
    const int sends = g_sends.load();
    const std::string out = lookup(cfg, "001122334455", ip, port, found);

    EXPECT_FALSE(found);
    EXPECT_EQ(g_sends.load(), sends);
    EXPECT_EQ(ip, 0x01020304u);
    EXPECT_EQ(port, 1234);
    EXPECT_EQ(out, kPrefix + "Entry\n" + kPrefix +
                       "ip address of cofnig server could not be resolved\n");
}

}  // namespace
