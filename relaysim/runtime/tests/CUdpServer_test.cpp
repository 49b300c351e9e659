// Tests of CUdpServer: datagrams to the handler, failed reads, exit message, stop paths.
#include "CUdpServer.h"

#include "CUdpSocket.h"
#include "loopback.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace test_support;
using loopback::open_ephemeral;

// A socket whose reads fail after poll reported input.
class FailingIO : public ISocketIO {
public:
    bool is_valid() const override { return m_valid; }
    int read(unsigned char*, unsigned short) override { return -1; }
    int read(unsigned char*, unsigned short, sockaddr_in&) override
    {
        ++m_reads;
        return -1;
    }
    int write(const unsigned char*, unsigned short) override { return -1; }
    int write(const unsigned char*, unsigned short, const sockaddr_in&) override { return -1; }
    bool poll() override
    {
        if (m_reads < 5)
            return true;
        ::poll(nullptr, 0, 5);  // idle like a quiet socket
        return false;
    }
    int get_last_err() const override { return 0; }

    std::atomic<bool> m_valid{true};
    std::atomic<int> m_reads{0};
};

// Lets a test see the server's body begin and end.
class ProbedServer : public CUdpServer {
public:
    using CUdpServer::CUdpServer;
    int execute(void* arg) override
    {
        const int r = CUdpServer::execute(arg);
        m_done = true;
        return r;
    }
    bool running() const { return m_running; }
    std::atomic<bool> m_done{false};
};

using CUdpServerTest = LoggedTest;

size_t count_of(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST_F(CUdpServerTest, HandsEmptyAndOversizedDatagramsToHandler)
{
    CUdpSocket sock;
    const unsigned short port = open_ephemeral(sock, 100);
    CUdpSocket sender;
    const unsigned short sender_port = open_ephemeral(sender, 100);
    Recorder handler;
    std::vector<unsigned char> big(1600);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i ^ (i >> 8));

    Capture capture;
    {
        CUdpServer server(sock, handler);
        server.init("local");
        ASSERT_EQ(0, sender.write(nullptr, 0, loopback::address(port)));
        ASSERT_EQ(1600, sender.write(big.data(), 1600, loopback::address(port)));
        ASSERT_TRUE(eventually([&] { return handler.count() >= 2; }));
        server.deinit();
    }
    const std::string out = capture.text();

    const auto got = handler.got();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0u, got[0].bytes.size());
    EXPECT_EQ(sender_port, got[0].from_port);
    EXPECT_EQ(1500u, got[1].bytes.size());
    EXPECT_TRUE(std::equal(got[1].bytes.begin(), got[1].bytes.end(), big.begin()));
    EXPECT_EQ(sender_port, got[1].from_port);

    EXPECT_EQ(1u, count_of(out, "Exiting udp server thread:local\n")) << out;
    EXPECT_EQ(0u, count_of(out, "killed")) << "deinit lets a 100 ms poll end by itself";
}

TEST_F(CUdpServerTest, DeinitEndsThreadWithDefaultPollTimeoutWithoutCancel)
{
    CUdpSocket sock;
    open_ephemeral(sock, 1000);
    Recorder handler;
    ProbedServer server(sock, handler);
    Capture capture;
    server.init();
    ASSERT_TRUE(eventually([&] { return server.running(); }));
    server.deinit();
    const std::string out = capture.text();
    EXPECT_EQ(1u, count_of(out, "Exiting udp server thread:\n")) << out;
    EXPECT_EQ(1u, count_of(out, " exit noramally\n")) << out;
    EXPECT_EQ(0u, count_of(out, "killed")) << out;
}

// The transport's arrival stamp (the kernel's, on a UDP socket) reaches the handler, so that a
// relay measures what the decoders measure.
TEST_F(CUdpServerTest, HandsTheArrivalStampOn)
{
    struct StampedIO : FailingIO {
        int read(unsigned char*, unsigned short, sockaddr_in&, timespec& arrival) override
        {
            arrival = {42, 7};
            ++m_reads;
            return 1;
        }
    } io;
    struct StampTaker : ISocketHandler {
        void on_raw_data(const sockaddr_in&, unsigned char*, unsigned short) override { ++m_unstamped; }
        void on_raw_data(const sockaddr_in&, unsigned char*, unsigned short, const timespec& at) override
        {
            m_ok += at.tv_sec == 42 && at.tv_nsec == 7 ? 1 : 0;
            ++m_stamped;
        }
        std::atomic<int> m_unstamped{0}, m_stamped{0}, m_ok{0};
    } handler;
    Capture capture;
    CUdpServer server(io, handler);
    server.init("stamped");
    ASSERT_TRUE(eventually([&] { return handler.m_stamped >= 5; }));
    server.deinit();
    EXPECT_EQ(handler.m_ok, handler.m_stamped);
    EXPECT_EQ(handler.m_unstamped, 0);
}

TEST_F(CUdpServerTest, DeinitWithoutInitReturnsAtOnce)
{
    CUdpSocket sock;
    Recorder handler;
    Capture capture;
    {
        CUdpServer server(sock, handler);
        const auto start = Clock::now();
        server.deinit();
        EXPECT_LT(elapsed_ms(start), 1000);
    }
    EXPECT_EQ("", capture.text());
}

TEST_F(CUdpServerTest, FailedReadNeverReachesHandler)
{
    FailingIO io;
    Recorder handler;
    CUdpServer server(io, handler);
    Capture capture;
    server.init("failing");
    ASSERT_TRUE(eventually([&] { return io.m_reads >= 5; }));
    // A socket found closed ends the loop by itself.
    io.m_valid = false;
    server.deinit();
    const std::string out = capture.text();
    EXPECT_EQ(0, handler.count());
    EXPECT_EQ(1u, count_of(out, "Exiting udp server thread:failing\n")) << out;
}

TEST_F(CUdpServerTest, ClosedSocketEndsTheThreadAtOnce)
{
    CUdpSocket never_opened;
    Recorder handler;
    ProbedServer server(never_opened, handler);
    Capture capture;
    server.init("closed");
    ASSERT_TRUE(eventually([&] { return server.m_done.load(); }));
    server.deinit();
    const std::string out = capture.text();
    EXPECT_EQ(1u, count_of(out, "Exiting udp server thread:closed\n")) << out;
}

}  // namespace
