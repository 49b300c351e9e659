// Tests of CSocket over loopback: open and bind, connect and send, poll results and errors.
#include "CSocket.h"

#include "CUdpSocket.h"
#include "loopback.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace test_support;
using loopback::LOOPBACK;
using loopback::local_port;
using loopback::open_ephemeral;

using CSocketTest = LoggedTest;

TEST_F(CSocketTest, ConstructedClosedWithDefaults)
{
    CUdpSocket s;
    EXPECT_FALSE(s.is_valid());
    EXPECT_EQ(-1, s.get_socket_fd());
    EXPECT_EQ(SOCK_DGRAM, s.get_socket_type());
    EXPECT_EQ(IPPROTO_UDP, s.get_protocol());
    EXPECT_TRUE(s.close()) << "closing a closed socket is fine";
}

TEST_F(CSocketTest, OpenWithoutPortCreatesUnboundDescriptor)
{
    CUdpSocket s;
    Capture out;
    EXPECT_TRUE(s.open(0, LOOPBACK));
    EXPECT_EQ("", out.text());
    EXPECT_TRUE(s.is_valid());
    EXPECT_EQ(0, local_port(s.get_socket_fd()));
}

TEST_F(CSocketTest, OpenOnOpenSocketKeepsIt)
{
    CUdpSocket s;
    ASSERT_TRUE(s.open());
    // Bound at once to a port the kernel chose: never one another socket holds.
    CUdpSocket other;
    ASSERT_TRUE(other.open());
    EXPECT_NE(0, s.local_port());
    EXPECT_NE(s.local_port(), other.local_port());
    const int fd = s.get_socket_fd();
    EXPECT_TRUE(s.open());
    EXPECT_EQ(fd, s.get_socket_fd());
    EXPECT_TRUE(s.close());
    EXPECT_FALSE(s.is_valid());
}

TEST_F(CSocketTest, BindConflictFailsButKeepsDescriptor)
{
    CUdpSocket owner;
    const unsigned short port = open_ephemeral(owner);
    CUdpSocket s;
    Capture out;
    EXPECT_FALSE(s.open(port, LOOPBACK));
    EXPECT_EQ("CSocket::bind() to address 2130706433 failed:" + std::string(strerror(EADDRINUSE)) + "\n",
              out.text());
    EXPECT_TRUE(s.is_valid()) << "a failed bind leaves the descriptor open";
    EXPECT_EQ(EADDRINUSE, s.get_last_err());

    // bind() with the stored port: same failure, same message.
    Capture again;
    EXPECT_FALSE(s.bind(LOOPBACK));
    EXPECT_EQ("CSocket::bind() to address 2130706433 failed:" + std::string(strerror(EADDRINUSE)) + "\n",
              again.text());
}

TEST_F(CSocketTest, OpenBindsGivenPort)
{
    unsigned short port;
    {
        CUdpSocket probe;
        port = open_ephemeral(probe);
    }
    CUdpSocket s;
    ASSERT_TRUE(s.open(port, LOOPBACK));
    EXPECT_EQ(port, local_port(s.get_socket_fd()));
}

TEST_F(CSocketTest, SendNeedsConnect)
{
    CUdpSocket receiver;
    const unsigned short port = open_ephemeral(receiver);
    receiver.set_poll_timeout(50);
    CUdpSocket s;
    unsigned char data[12] = {1, 2, 3};

    EXPECT_FALSE(s.connect(LOOPBACK, port)) << "connect on a closed socket changes nothing";
    ASSERT_TRUE(s.open(0, 0));
    Capture out;
    EXPECT_EQ(0, s.send(data, sizeof(data))) << "send before connect sends nothing";
    EXPECT_EQ("", out.text());
    EXPECT_FALSE(receiver.poll());

    EXPECT_TRUE(s.connect(LOOPBACK, port));
    EXPECT_TRUE(s.connect(LOOPBACK, port)) << "a closed socket keeps the connected flag";
    receiver.set_poll_timeout(5000);
    EXPECT_EQ(12, s.send(data, sizeof(data)));
    ASSERT_TRUE(receiver.poll());
    unsigned char buf[64];
    EXPECT_EQ(12, receiver.read(buf, sizeof(buf)));
    EXPECT_EQ(0, memcmp(buf, data, 12));

    s.disconnected();
    EXPECT_EQ(0, s.send(data, sizeof(data)));
    s.close();
    EXPECT_FALSE(s.connect(LOOPBACK, port));
}

TEST_F(CSocketTest, ConnectFailureIsLoggedWithoutLineEnd)
{
    CUdpSocket s;
    ASSERT_TRUE(s.open(0, 0));
    Capture out;
    // A broadcast peer needs SO_BROADCAST, so this connect is refused.
    EXPECT_FALSE(s.connect(0xFFFFFFFF, 9));
    EXPECT_EQ("CSocket::connect():Could not connect to remote 4294967295:9", out.text());
    EXPECT_EQ(EACCES, s.get_last_err());
}

TEST_F(CSocketTest, SendFailureIsLoggedAndKeptAsLastError)
{
    CUdpSocket s;
    ASSERT_TRUE(s.open(0, 0));
    ASSERT_TRUE(s.connect(LOOPBACK, 9));
    std::vector<unsigned char> big(70000);
    Capture out;
    EXPECT_EQ(-1, s.send(big.data(), static_cast<int>(big.size())));
    EXPECT_EQ("CSocket::send():ERR:" + std::string(strerror(EMSGSIZE)), out.text());
    EXPECT_EQ(EMSGSIZE, s.get_last_err());
}

TEST_F(CSocketTest, PollTimesOutWithLastErrorZero)
{
    CUdpSocket s;
    open_ephemeral(s);
    s.set_poll_timeout(150);
    const auto start = Clock::now();
    EXPECT_FALSE(s.poll());
    EXPECT_GE(elapsed_ms(start), 145);
    EXPECT_EQ(0, s.get_last_err());
}

TEST_F(CSocketTest, PollReportsWaitingDatagram)
{
    CUdpSocket s;
    const unsigned short port = open_ephemeral(s);
    CUdpSocket peer;
    ASSERT_TRUE(peer.open(0, 0));
    const sockaddr_in to = loopback::address(port);
    const unsigned char one = 1;
    ASSERT_EQ(1, peer.write(&one, 1, to));
    s.set_poll_timeout(5000);
    EXPECT_TRUE(s.poll());
    EXPECT_EQ(0, s.get_last_err());
}

TEST_F(CSocketTest, PollWaitsItsTimeoutWhenPeerPortIsClosed)
{
    unsigned short closed_port;
    {
        CUdpSocket gone;
        closed_port = open_ephemeral(gone);
    }
    CUdpSocket s;
    ASSERT_TRUE(s.open(0, 0));
    ASSERT_TRUE(s.connect(LOOPBACK, closed_port));
    unsigned char data[12] = {};
    ASSERT_EQ(12, s.send(data, sizeof(data)));

    // The port-unreachable answer surfaces once as the last error...
    s.set_poll_timeout(100);
    bool refused = false;
    for (int i = 0; i < 50 && !refused; ++i) {
        EXPECT_FALSE(s.poll());
        refused = s.get_last_err() == ECONNREFUSED;
    }
    ASSERT_TRUE(refused);

    // ...and afterwards every poll waits its whole time-out instead of spinning.
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        EXPECT_FALSE(s.poll());
        EXPECT_GE(elapsed_ms(start), 95) << "poll " << i << " returned at once";
        EXPECT_EQ(0, s.get_last_err());
    }

    // The refusal poll took off the socket still reaches the operator, once, on the next send.
    Capture out;
    EXPECT_EQ(-1, s.send(data, sizeof(data)));
    EXPECT_EQ(std::string("CSocket::send():ERR:") + strerror(ECONNREFUSED), out.text());
    EXPECT_EQ(12, s.send(data, sizeof(data)));
}

TEST_F(CSocketTest, PollOnDescriptorClosedBehindItsBackReportsInvalid)
{
    CUdpSocket s;
    ASSERT_TRUE(s.open(0, 0));
    const int fd = s.get_socket_fd();
    ::close(fd);
    s.set_poll_timeout(5000);
    const auto start = Clock::now();
    EXPECT_FALSE(s.poll());
    EXPECT_LT(elapsed_ms(start), 4000);
    EXPECT_EQ(0x7F01, s.get_last_err());
    // Give the destructor a descriptor of its own to close.
    const int spare = ::open("/dev/null", O_RDONLY);
    ASSERT_EQ(fd, ::dup2(spare, fd));
    if (spare != fd)
        ::close(spare);
}

TEST_F(CSocketTest, OpenGivesUpAfter99CreationFailures)
{
    // Exhaust the descriptor table, so socket() fails with EMFILE.
    rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    rlimit low = old;
    low.rlim_cur = 64;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    CUdpSocket s;
    // Sanitizer checks on the first calls may need descriptors of their own.
    ASSERT_TRUE(s.open());
    s.close();
    Capture capture;  // needs a descriptor itself
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) != -1;)
        fillers.push_back(fd);
    const bool opened = s.open();
    for (int fd : fillers)
        ::close(fd);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &old));
    const std::string out = capture.text();

    EXPECT_FALSE(opened);
    EXPECT_FALSE(s.is_valid());
    EXPECT_EQ(EMFILE, s.get_last_err());
    std::string expected;
    for (int i = 0; i < 99; ++i)
        expected += "CSocket::open():failed: error=24\n";
    EXPECT_EQ(expected, out);
}

}  // namespace
