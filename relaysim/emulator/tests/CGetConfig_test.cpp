// Tests of the configuration-server lookup against the stand-in server tools/config_server.py.
#include "CGetConfig.h"

#include "syscall_fault.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const std::string PREFIX = "CGetConfig::get_reflector():";
const std::string REQUEST_TAIL = "&get_config=fw_type=v.1,cfg_ver=4,set_ver=0";

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

// What one lookup gave, with ip and port as the caller's variables held them after it.
struct Lookup {
    bool found;
    unsigned int ip;
    unsigned short port;
    std::string out;  // the lookup's own console text
    double seconds;
};

class CGetConfigTest : public test_support::LoggedTest {
protected:
    // Starts the stand-in with these arguments and a client of it; false if it did not start.
    bool serve(const std::vector<std::string>& args)
    {
        m_server.reset(new StandIn(args));
        if (m_server->port() == 0)
            return false;
        m_cfg.reset(new CGetConfig("127.0.0.1", m_server->port()));
        m_cfg->init();
        return true;
    }

    static Lookup lookup(CGetConfig& cfg, const std::string& mac, unsigned int ip = 0, unsigned short port = 0)
    {
        Lookup r{false, ip, port, "", 0};
        const auto start = Clock::now();
        test_support::Capture out;
        r.found = cfg.get_reflector(mac, r.ip, r.port);
        r.out = out.text();
        r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return r;
    }
    Lookup lookup(const std::string& mac, unsigned int ip = 0, unsigned short port = 0)
    {
        return lookup(*m_cfg, mac, ip, port);
    }

    static std::string answered(const std::string& reply, const std::string& host, int port)
    {
        return PREFIX + "Entry\n" + PREFIX + "Response => " + reply + "\nReflector Host=" + host + ":" +
               std::to_string(port) + "\n" + PREFIX + "Exit\n";
    }

    std::unique_ptr<StandIn> m_server;
    std::unique_ptr<CGetConfig> m_cfg;
};

TEST_F(CGetConfigTest, RequestIsPrefixMacTextAndSuffixOnly)
{
    const std::string reply = "id=12,ref_ip=127.0.0.1,audio_port=5004,";
    ASSERT_TRUE(serve({"--reply", reply}));

    const std::vector<std::string> macs = {"001122334455", "00:11:22:33:44:55", ""};
    for (const auto& mac : macs) {
        SCOPED_TRACE(mac);
        const Lookup r = lookup(mac);
        EXPECT_TRUE(r.found);
        EXPECT_EQ(r.out, answered(reply, "127.0.0.1", 5004));
        EXPECT_EQ(r.ip, 0x7F000001u);
        EXPECT_EQ(r.port, 5004);

        const std::string text = "id=12&mac=" + mac + REQUEST_TAIL;
        const auto got = m_server->requests(1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], "(" + std::to_string(text.size()) + " bytes): " + text);
    }
}

TEST_F(CGetConfigTest, SilentServerIsAskedAgainEverySecondUpToFourTimes)
{
    // A reply after the second send ends the wait at once; no reply gives false after
    // four sends and five waits, leaving the caller's values alone.
    const std::string reply = "x,ref_ip=127.0.0.2,audio_port=6000";
    const std::string request = PREFIX + "request => id=12&mac=AABBCCDDEEFF" + REQUEST_TAIL + "\n";
    const struct {
        std::vector<std::string> args;
        bool found;
        std::string out;
        size_t requests;
        double min_s, max_s;
    } cases[] = {
        {{"--silent", "1", "--reply", reply}, true,
         PREFIX + "Entry\n" + request + PREFIX + "Response => " + reply + "\nReflector Host=127.0.0.2:6000\n" +
             PREFIX + "Exit\n",
         2, 0.9, 3.0},
        {{"--silent", "1000"}, false, PREFIX + "Entry\n" + request + request + request + PREFIX +
                                          "No reply from config server\n",
         4, 4.8, 8.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1]);
        ASSERT_TRUE(serve(c.args));
        const Lookup r = lookup("AABBCCDDEEFF", 0x01020304, 1234);
        EXPECT_EQ(r.found, c.found);
        EXPECT_EQ(r.ip, c.found ? 0x7F000002u : 0x01020304u);
        EXPECT_EQ(r.port, c.found ? 6000 : 1234);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(m_server->requests(c.requests).size(), c.requests);
        EXPECT_GE(r.seconds, c.min_s);
        EXPECT_LT(r.seconds, c.max_s);
    }
}

TEST_F(CGetConfigTest, ReplyParsing)
{
    const unsigned int IP0 = 0x0A000001;  // the caller's values before each call
    const unsigned short PORT0 = 999;
    const struct {
        const char* sent;   // as given to the stand-in, backslash escapes decoded
        const char* shown;  // the reply text up to its first zero byte
        const char* host;   // as printed
        unsigned int ip;
        unsigned short port;
    } cases[] = {
        {"x,ref_ip=10.1.2.3,audio_port=7000", "x,ref_ip=10.1.2.3,audio_port=7000", "10.1.2.3",
         0x0A010203, 7000},
        {"ref_ip=10.1.2.3,audio_port=7000", "ref_ip=10.1.2.3,audio_port=7000", "Null", IP0, 7000},
        {"audio_port=7000,ref_ip=10.1.2.3,", "audio_port=7000,ref_ip=10.1.2.3,", "10.1.2.3",
         0x0A010203, PORT0},
        {"x,ref_ip=10.1.2.3", "x,ref_ip=10.1.2.3", "Null", IP0, PORT0},
        {"x,audio_port=abc", "x,audio_port=abc", "Null", IP0, 0},
        {"x,audio_port=70000", "x,audio_port=70000", "Null", IP0, 4464},
        {"x,audio_port= -1,", "x,audio_port= -1,", "Null", IP0, 65535},
        {"xaudio_port=+42x", "xaudio_port=+42x", "Null", IP0, 42},
        {"x,ref_ip=cfg-reflector.invalid,audio_port=5", "x,ref_ip=cfg-reflector.invalid,audio_port=5",
         "cfg-reflector.invalid", 0, 5},
        {"x,ref_ip=,", "x,ref_ip=,", "", 0, PORT0},
        {"x,ref_ip=10.0.0.7,ref_ip=10.0.0.8,audio_port=1,audio_port=2",
         "x,ref_ip=10.0.0.7,ref_ip=10.0.0.8,audio_port=1,audio_port=2", "10.0.0.7", 0x0A000007, 1},
        {"x,audio_port=5\\0,ref_ip=10.0.0.9,", "x,audio_port=5", "Null", IP0, 5},
        {"", "", "Null", IP0, PORT0},
    };

    std::vector<std::string> args;
    for (const auto& c : cases) {
        args.push_back("--reply");
        args.push_back(c.sent);
    }
    ASSERT_TRUE(serve(args));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent);
        const Lookup r = lookup("001122334455", IP0, PORT0);
        EXPECT_TRUE(r.found);
        EXPECT_EQ(r.out, answered(c.shown, c.host, c.port));
        EXPECT_EQ(r.ip, c.ip);
        EXPECT_EQ(r.port, c.port);
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
    ASSERT_TRUE(serve({"--reply", straddling, "--reply", exact, "--reply", beyond}));

    const struct {
        const std::string& sent;
        const char* host;
        unsigned int ip;
        unsigned short port;
    } cases[] = {
        {straddling, "127.0.0.1", 0x7F000001, 12},
        {exact, "Null", 0, 77},
        {beyond, "Null", 0, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent.size());
        const Lookup r = lookup("001122334455", 0, 3);
        EXPECT_TRUE(r.found);
        EXPECT_EQ(r.out, answered(c.sent.substr(0, 1024), c.host, c.port));
        EXPECT_EQ(r.ip, c.ip);
        EXPECT_EQ(r.port, c.port);
    }
}

TEST_F(CGetConfigTest, ReadFailingAfterInputReportsNoReply)
{
    ASSERT_TRUE(serve({"--reply", "x,ref_ip=127.0.0.1,audio_port=5004,"}));
    // As a read may fail after poll() reported input.
    syscall_fault::Fault read_fails(syscall_fault::RECV | syscall_fault::RECVFROM, EIO);
    const Lookup r = lookup("001122334455", 0x01020304, 1234);

    ASSERT_EQ(read_fails.injected(), 1) << "the reply was not read through recv or recvfrom";
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.ip, 0x01020304u);
    EXPECT_EQ(r.port, 1234);
    EXPECT_EQ(r.out, PREFIX + "Entry\n" + PREFIX + "No reply from config server\n");
}

TEST_F(CGetConfigTest, UnresolvableServerSendsNothing)
{
    CGetConfig cfg("config-server.invalid", 9);
    cfg.init();
    const unsigned long sends = syscall_fault::calls(syscall_fault::SENDTO);
    const Lookup r = lookup(cfg, "001122334455", 0x01020304, 1234);

    EXPECT_FALSE(r.found);
    EXPECT_EQ(syscall_fault::calls(syscall_fault::SENDTO), sends);
    EXPECT_EQ(r.ip, 0x01020304u);
    EXPECT_EQ(r.port, 1234);
    EXPECT_EQ(r.out, PREFIX + "Entry\n" + PREFIX + "ip address of cofnig server could not be resolved\n");
}

}  // namespace
