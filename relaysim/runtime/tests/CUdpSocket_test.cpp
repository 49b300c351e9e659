// Tests of CUdpSocket over loopback: addressed reads and writes, truncation, failures, options,
// batched and segmented writes.
#include "CUdpSocket.h"

#include "loopback.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

using loopback::LOOPBACK;

sockaddr_in loopback(unsigned short port) { return loopback::address(port); }

unsigned short open_ephemeral(CUdpSocket& s) { return loopback::open_ephemeral(s, 5000); }

class CUdpSocketTest : public test_support::LoggedTest {
protected:
    void SetUp() override
    {
        m_port_a = open_ephemeral(m_a);
        m_port_b = open_ephemeral(m_b);
    }
    CUdpSocket m_a, m_b;
    unsigned short m_port_a = 0, m_port_b = 0;
};

TEST_F(CUdpSocketTest, AddressedReadGivesSender)
{
    const unsigned char data[] = {0x80, 0x60, 1, 2, 3};
    ASSERT_EQ(5, m_a.write(data, sizeof(data), loopback(m_port_b)));
    ASSERT_TRUE(m_b.poll());
    unsigned char buf[1500];
    sockaddr_in from;
    memset(&from, 0xAB, sizeof(from));
    EXPECT_EQ(5, m_b.read(buf, sizeof(buf), from));
    EXPECT_EQ(0, memcmp(buf, data, 5));
    EXPECT_EQ(AF_INET, from.sin_family);
    EXPECT_EQ(htons(m_port_a), from.sin_port);
    EXPECT_EQ(htonl(LOOPBACK), from.sin_addr.s_addr);
    const unsigned char zero[8] = {};
    EXPECT_EQ(0, memcmp(from.sin_zero, zero, 8)) << "the record is zeroed before the read";
}

TEST_F(CUdpSocketTest, LongDatagramIsCutToReadSize)
{
    std::vector<unsigned char> data(3000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 7);
    ASSERT_EQ(3000, m_a.write(data.data(), 3000, loopback(m_port_b)));
    const unsigned char tail = 0x55;
    ASSERT_EQ(1, m_a.write(&tail, 1, loopback(m_port_b)));

    unsigned char buf[1000];
    ASSERT_TRUE(m_b.poll());
    EXPECT_EQ(1000, m_b.read(buf, sizeof(buf)));
    EXPECT_EQ(0, memcmp(buf, data.data(), 1000));
    // The rest of the long datagram is gone: the next read is the next datagram.
    ASSERT_TRUE(m_b.poll());
    EXPECT_EQ(1, m_b.read(buf, sizeof(buf)));
    EXPECT_EQ(tail, buf[0]);
}

TEST_F(CUdpSocketTest, ZeroLengthDatagramReadsAsZero)
{
    ASSERT_EQ(0, m_a.write(nullptr, 0, loopback(m_port_b)));
    ASSERT_TRUE(m_b.poll());
    unsigned char buf[16];
    sockaddr_in from;
    EXPECT_EQ(0, m_b.read(buf, sizeof(buf), from));
}

TEST_F(CUdpSocketTest, PlainWriteGoesToDefaultDestination)
{
    m_a.set_remote_addr(loopback(m_port_b));
    const unsigned char data[] = {9, 8, 7};
    ASSERT_EQ(3, m_a.write(data, sizeof(data)));
    ASSERT_TRUE(m_b.poll());
    unsigned char buf[16];
    EXPECT_EQ(3, m_b.read(buf, sizeof(buf)));
}

TEST_F(CUdpSocketTest, FailuresReturnMinusOneAndStoreErrno)
{
    CUdpSocket closed;
    unsigned char buf[16] = {};
    sockaddr_in from;
    struct Case {
        const char* what;
        int result;
    } cases[] = {
        {"read", closed.read(buf, sizeof(buf))},
        {"addressed read", closed.read(buf, sizeof(buf), from)},
        {"write", closed.write(buf, sizeof(buf), loopback(m_port_b))},
        {"plain write", closed.write(buf, sizeof(buf))},
    };
    for (const auto& c : cases)
        EXPECT_EQ(-1, c.result) << c.what;
    EXPECT_EQ(EBADF, closed.get_last_err());

    // A successful call leaves the last error alone.
    ASSERT_EQ(16, m_a.write(buf, sizeof(buf), loopback(m_port_b)));
    ASSERT_EQ(-1, m_a.write(buf, sizeof(buf), loopback(0)));
    const int err = m_a.get_last_err();
    EXPECT_NE(0, err);
    ASSERT_EQ(16, m_a.write(buf, sizeof(buf), loopback(m_port_b)));
    EXPECT_EQ(err, m_a.get_last_err());
}

TEST_F(CUdpSocketTest, ReadManyTakesEveryDatagramInBatchesWithItsOwnStamp)
{
    ASSERT_TRUE(m_b.set_sock_option_timestamps());
    const int lengths[] = {0, 1600, 12, 1, 1500, 7};
    std::vector<unsigned char> data(1600, 0x80);
    timespec before;
    clock_gettime(CLOCK_REALTIME, &before);
    for (int len : lengths)
        ASSERT_EQ(len, m_a.write(data.data(), static_cast<unsigned short>(len), loopback(m_port_b)));
    ASSERT_TRUE(m_b.poll());
    CUdpSocket::Batch batch(4, 1500);
    std::vector<int> counts, got;
    long long last_ns = static_cast<long long>(before.tv_sec) * 1000000000LL + before.tv_nsec - 1000000;
    for (int call = 0; call < 3; ++call) {
        const int n = m_b.read_many(batch);
        counts.push_back(n);
        for (int i = 0; i < n; ++i) {
            got.push_back(batch.length(i));
            EXPECT_EQ(htons(m_port_a), batch.from(i).sin_port);
            const long long ns = static_cast<long long>(batch.arrival(i).tv_sec) * 1000000000LL + batch.arrival(i).tv_nsec;
            EXPECT_GE(ns, last_ns) << "in arrival order, none older than the sends";
            last_ns = ns;
        }
    }
    EXPECT_EQ(counts, (std::vector<int>{4, 2, 0}));
    // The datagram longer than the room is cut to it, and the next one is read whole.
    EXPECT_EQ(got, (std::vector<int>{0, 1500, 12, 1, 1500, 7}));
}

TEST_F(CUdpSocketTest, KernelDropsAreCountedAndWiden)
{
    ASSERT_TRUE(m_b.set_sock_option_buffer_size(0));  // the kernel's smallest
    std::vector<unsigned char> data(1000, 0x80);
    const int SENT = 200;
    for (int i = 0; i < SENT; ++i)
        ASSERT_EQ(1000, m_a.write(data.data(), 1000, loopback(m_port_b)));
    CUdpSocket::Batch batch(32, 1500);
    int received = 0;
    for (int n; (n = m_b.read_many(batch)) > 0;)
        received += n;
    ASSERT_LT(received, SENT);
    EXPECT_EQ(m_b.dropped(), static_cast<unsigned long long>(SENT - received));

    EXPECT_EQ(CUdpSocket::widen_drop_count(0, 5), 5u);
    EXPECT_EQ(CUdpSocket::widen_drop_count(7, 7), 7u);
    EXPECT_EQ(CUdpSocket::widen_drop_count(0xFFFFFFF0ULL, 0x10), 0x100000010ULL) << "past 32 bits";
    EXPECT_EQ(CUdpSocket::widen_drop_count(0x1FFFFFFFFULL, 2), 0x200000002ULL);
}

TEST_F(CUdpSocketTest, OptionSettersReachTheSystem)
{
    const int fd = m_a.get_socket_fd();
    ASSERT_TRUE(m_a.set_sock_option_linger());
    linger l{};
    socklen_t len = sizeof(l);
    ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len));
    EXPECT_EQ(1, l.l_onoff);
    EXPECT_EQ(0, l.l_linger);

    int before = 0;
    len = sizeof(before);
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &before, &len);
    ASSERT_TRUE(m_a.set_sock_option_buffer_size(before + 8192));
    int after = 0;
    len = sizeof(after);
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &after, &len);
    EXPECT_GT(after, before);

    ASSERT_TRUE(m_a.set_sock_option_broadcost());
    int on = 0;
    len = sizeof(on);
    getsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, &len);
    EXPECT_EQ(1, on);

    for (unsigned short tos : {0x10, 0xB8, 0x04}) {
        ASSERT_TRUE(m_a.set_sock_option_tos(tos)) << tos;
        int got = 0;
        len = sizeof(got);
        getsockopt(fd, IPPROTO_IP, IP_TOS, &got, &len);
        EXPECT_EQ(tos, got);
    }

    CUdpSocket closed;
    EXPECT_FALSE(closed.set_sock_option_linger());
    EXPECT_FALSE(closed.set_sock_option_buffer_size(4096));
    EXPECT_FALSE(closed.set_sock_option_broadcost());
    EXPECT_FALSE(closed.set_sock_option_tos(0x10));
    EXPECT_EQ(EBADF, closed.get_last_err());
}

// Messages of one byte each, message i to tos[i], carrying the byte i.
struct Batch {
    std::vector<unsigned char> bytes;
    std::vector<sockaddr_in> tos;
    std::vector<iovec> iovs;
    std::vector<mmsghdr> msgs;

    explicit Batch(const std::vector<sockaddr_in>& to) : bytes(to.size()), tos(to), iovs(to.size()), msgs(to.size())
    {
        memset(msgs.data(), 0, msgs.size() * sizeof(msgs[0]));
        for (size_t i = 0; i < to.size(); ++i) {
            bytes[i] = static_cast<unsigned char>(i);
            iovs[i] = {&bytes[i], 1};
            msgs[i].msg_hdr.msg_name = &tos[i];
            msgs[i].msg_hdr.msg_namelen = sizeof(tos[i]);
            msgs[i].msg_hdr.msg_iov = &iovs[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
    }
};

TEST_F(CUdpSocketTest, WriteManyStopsShortAtAFailedMessageAndThenReportsIt)
{
    // Port 0 is refused: the call sends what comes before it and says how many.
    Batch batch({loopback(m_port_b), loopback(m_port_b), loopback(0), loopback(m_port_b)});
    ASSERT_EQ(2, m_a.write_many(batch.msgs.data(), 4));
    const int before = m_a.get_last_err();
    EXPECT_EQ(-1, m_a.write_many(&batch.msgs[2], 2)) << "the failed one now comes first";
    EXPECT_EQ(EINVAL, m_a.get_last_err());
    EXPECT_NE(before, EINVAL) << "a short count stores no error";
    EXPECT_EQ(1, m_a.write_many(&batch.msgs[3], 1));
    EXPECT_EQ(EINVAL, m_a.get_last_err()) << "success leaves the last error alone";

    unsigned char buf[16];
    for (unsigned char expected : {0, 1, 3}) {
        ASSERT_TRUE(m_b.poll());
        ASSERT_EQ(1, m_b.read(buf, sizeof(buf)));
        EXPECT_EQ(expected, buf[0]);
    }

    CUdpSocket closed;
    EXPECT_EQ(-1, closed.write_many(batch.msgs.data(), 1));
    EXPECT_EQ(EBADF, closed.get_last_err());
}

TEST_F(CUdpSocketTest, WriteManyTakesAtMostOneKernelBatchACall)
{
    Batch batch(std::vector<sockaddr_in>(CUdpSocket::MAX_BATCH + 100, loopback(m_port_b)));
    EXPECT_EQ(static_cast<int>(CUdpSocket::MAX_BATCH),
              m_a.write_many(batch.msgs.data(), static_cast<unsigned int>(batch.msgs.size())));
    EXPECT_EQ(0, m_a.write_many(batch.msgs.data(), 0));
}

TEST_F(CUdpSocketTest, SegmentedWriteArrivesAsEqualDatagrams)
{
    CUdpSocket closed;
    EXPECT_FALSE(closed.can_segment());
    if (!m_a.can_segment())
        GTEST_SKIP() << "the kernel does not segment UDP sends";
    // Three 5-byte datagrams from six pieces, then a plain write: segmenting stays per call.
    unsigned char pieces[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    iovec iovs[] = {{pieces, 2}, {pieces + 2, 3}, {pieces + 5, 5}, {pieces + 10, 1}, {pieces + 11, 4}};
    sockaddr_in to = loopback(m_port_b);
    mmsghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_hdr.msg_name = &to;
    msg.msg_hdr.msg_namelen = sizeof(to);
    msg.msg_hdr.msg_iov = iovs;
    msg.msg_hdr.msg_iovlen = 5;
    ASSERT_EQ(1, m_a.write_segmented(&msg, 1, 5));
    EXPECT_EQ(nullptr, msg.msg_hdr.msg_control) << "no pointer into the call's frame is left behind";
    ASSERT_EQ(15, m_a.write(pieces, 15, to));

    unsigned char buf[32];
    sockaddr_in from;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(m_b.poll());
        ASSERT_EQ(5, m_b.read(buf, sizeof(buf), from)) << i;
        EXPECT_EQ(0, memcmp(buf, pieces + 5 * i, 5)) << i;
        EXPECT_EQ(htons(m_port_a), from.sin_port);
    }
    ASSERT_TRUE(m_b.poll());
    EXPECT_EQ(15, m_b.read(buf, sizeof(buf)));
}

TEST_F(CUdpSocketTest, RefusalTakenByABatchedReadIsReportedByTheNextSend)
{
    unsigned short closed_port;
    {
        CUdpSocket gone;
        closed_port = open_ephemeral(gone);
    }
    CUdpSocket s;
    ASSERT_TRUE(s.open());
    ASSERT_TRUE(s.connect(LOOPBACK, closed_port));
    unsigned char request[12] = {};
    ASSERT_EQ(12, s.send(request, sizeof(request)));
    // The port-unreachable answer comes back asynchronously; the read takes it off the socket.
    CUdpSocket::Batch batch(4, 1500);
    int n = 0;
    for (int i = 0; i < 200 && (n = s.read_many(batch)) == 0; ++i)
        usleep(5000);
    ASSERT_EQ(-1, n);
    EXPECT_EQ(ECONNREFUSED, s.get_last_err());
    test_support::Capture out;
    EXPECT_EQ(-1, s.send(request, sizeof(request)));
    EXPECT_EQ("CSocket::send():ERR:" + std::string(strerror(ECONNREFUSED)), out.text());
}

}  // namespace
