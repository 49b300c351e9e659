// Tests of the local-stream relay: one copy per encoder, SSRC per encoder, key order, length
// rule, batches beyond one system call, and the fallback to one write per copy.
#include "CInstr.h"

#include "loopback.h"
#include "syscall_fault.h"
#include "test_support.h"
#include "udp_drops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <string>
#include <vector>

using loopback::Peer;
using test_support::Capture;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes datagram(size_t len)
{
    Bytes b(len);
    for (size_t i = 0; i < len; ++i)
        b[i] = static_cast<unsigned char>(i * 7 + 1);
    return b;
}

// Up to n datagrams, each within timeout_ms; the ports they came from into ports.
std::vector<Bytes> receive_n(const Peer& peer, size_t n, std::vector<unsigned short>* ports, int timeout_ms)
{
    std::vector<Bytes> got;
    Bytes d;
    sockaddr_in from;
    while (got.size() < n && peer.receive(d, from, timeout_ms)) {
        got.push_back(d);
        if (ports)
            ports->push_back(ntohs(from.sin_port));
    }
    return got;
}

using CInstrTest = test_support::LoggedTest;

}  // namespace

TEST_F(CInstrTest, KeyWrittenLowByteFirstIsTheLowAddressOctets)
{
    // Written lowest byte first, each key is the address's last four octets in order
    // (the copies below show those bytes on the wire).
    struct Case {
        unsigned long address, key;
    } cases[] = {{0x0A1B2C3D4E5FUL, 0x5F4E3D2CUL},
                 {0x000000000001UL, 0x01000000UL},
                 {0xFFFF12345678UL, 0x78563412UL}};
    for (const Case& c : cases)
        EXPECT_EQ(CInstr::key_of(c.address), c.key) << std::hex << c.address;
}

TEST_F(CInstrTest, RelaysOneCopyPerEncoderInKeyOrderFromTheLocalPort)
{
    Peer reflector, source;
    CInstr instr;
    Capture capture;
    // Ascending key order is by the last octet first: ..0101, ..02, ..03.
    for (unsigned long address : {0x0A0000000003UL, 0x0A0000000101UL, 0x0A0000000002UL})
        instr.add_encoder(address, 0x7F000001, reflector.port());
    const unsigned short local = loopback::free_port();
    ASSERT_TRUE(instr.start(local));

    source.send_to(datagram(49), loopback::address(local));
    EXPECT_TRUE(receive_n(reflector, SIZE_MAX, nullptr, 300).empty());
    EXPECT_FALSE(instr.state().online());

    for (size_t len : {50, 172, 1500}) {
        source.send_to(datagram(len), loopback::address(local));
        std::vector<unsigned short> ports;
        std::vector<Bytes> copies = receive_n(reflector, 3, &ports, 2000);
        ASSERT_EQ(copies.size(), 3u) << len;
        EXPECT_TRUE(receive_n(reflector, 1, nullptr, 100).empty()) << "one copy per key";
        const Bytes ssrcs[] = {{0, 0, 1, 1}, {0, 0, 0, 2}, {0, 0, 0, 3}};
        for (size_t i = 0; i < 3; ++i) {
            ASSERT_EQ(copies[i].size(), len);
            EXPECT_EQ(Bytes(copies[i].begin() + 8, copies[i].begin() + 12), ssrcs[i]) << i;
            Bytes rest = copies[i];
            Bytes original = datagram(len);
            std::copy(original.begin() + 8, original.begin() + 12, rest.begin() + 8);
            EXPECT_EQ(rest, original) << "only bytes 8-11 change";
            EXPECT_EQ(ports[i], local);
        }
    }
    EXPECT_TRUE(instr.state().online());
    const std::string out = capture.text();
    const std::string port = std::to_string(reflector.port());
    EXPECT_EQ(out.find("Adding encoder 0x0a0000000003. stream audio to - 127.0.0.1:" + port + "\n"
                       "Adding encoder 0x0a0000000101. stream audio to - 127.0.0.1:" + port + "\n"
                       "Adding encoder 0x0a0000000002. stream audio to - 127.0.0.1:" + port + "\n"),
              0u) << out;
    EXPECT_EQ(out.find("local stream online\n"), out.rfind("local stream online\n"));
    EXPECT_NE(out.find("local stream online\n"), std::string::npos);
}

TEST_F(CInstrTest, EncodersWithEqualLowOctetsShareOneCopy)
{
    Peer reflector;
    CInstr instr;
    Capture capture;
    instr.add_encoder(0x0A0011223344UL, 0x7F000001, reflector.port());
    instr.add_encoder(0x0B0011223344UL, 0x7F000001, reflector.port());
    const std::string out = capture.text();
    EXPECT_EQ(instr.encoder_count(), 1u);
    EXPECT_NE(out.find("Adding encoder 0x0b0011223344."), std::string::npos);
    EXPECT_NE(out.find("Adding encoder 0x0a0011223344."), std::string::npos);
}

TEST_F(CInstrTest, WithoutEncodersTheStreamIsStillTracked)
{
    CInstr instr;
    Bytes d = datagram(60);
    sockaddr_in from = loopback::address(1);
    Capture capture;
    instr.on_raw_data(from, d.data(), 49);
    EXPECT_FALSE(instr.state().online());
    instr.on_raw_data(from, d.data(), 60);
    EXPECT_TRUE(instr.state().online());
    EXPECT_EQ(capture.text(), "local stream online\n");
    EXPECT_EQ(d, datagram(60)) << "nothing to send, nothing written";
}

TEST_F(CInstrTest, GoesOfflineOnlyAfterMoreThanFiveSilentSeconds)
{
    CInstr instr;
    const time_t now = time(nullptr);
    instr.state().reset(now - 6);
    EXPECT_FALSE(instr.check_offline(now)) << "never online";
    EXPECT_TRUE(instr.state().received(now - 5));
    EXPECT_FALSE(instr.state().received(now - 5)) << "online once";
    EXPECT_FALSE(instr.check_offline(now));
    instr.state().received(now - 6);
    EXPECT_TRUE(instr.check_offline(now));
    EXPECT_FALSE(instr.state().online());
    EXPECT_FALSE(instr.check_offline(now));
}

namespace {

// The last four octets of an address, first to last: the SSRC bytes of its copies.
Bytes low_octets(unsigned long address)
{
    return {static_cast<unsigned char>(address >> 24), static_cast<unsigned char>(address >> 16),
            static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address)};
}

// The SSRC bytes of the three encoders the tests below register, in key order.
const std::vector<Bytes> THREE_SSRCS = {{0, 0, 1, 1}, {0, 0, 0, 2}, {0, 0, 0, 3}};

// Checks that copies are datagram d once per encoder, with these SSRC bytes in this order.
void expect_copies(const std::vector<Bytes>& copies, const Bytes& d, const std::vector<Bytes>& ssrcs)
{
    ASSERT_EQ(copies.size(), ssrcs.size());
    for (size_t i = 0; i < copies.size(); ++i) {
        Bytes expected = d;
        const Bytes& ssrc = ssrcs[i];
        std::copy(ssrc.begin(), ssrc.end(), expected.begin() + 8);
        EXPECT_EQ(copies[i], expected) << "copy " << i;
    }
}

}  // namespace

TEST_F(CInstrTest, BatchLargerThanOneSendCallArrivesWholeAndInOrder)
{
    Peer reflector, source;
    // Room for every copy, where the system allows it; drops are accounted for below.
    const int room = 64 << 20;
    setsockopt(reflector.fd(), SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    CInstr instr;
    std::vector<std::pair<unsigned long, Bytes>> keys;  // key, SSRC bytes
    Capture quiet;
    // Distinct low 32 bits (an odd factor permutes them), registered out of key order.
    for (unsigned long i = 0; i < 1500; ++i) {
        const unsigned long address = 0x0A0000000000UL | ((i * 2654435761UL) & 0xFFFFFFFFUL);
        instr.add_encoder(address, 0x7F000001, reflector.port());
        keys.push_back({CInstr::key_of(address), low_octets(address)});
    }
    quiet.text();
    std::sort(keys.begin(), keys.end());
    ASSERT_GT(keys.size(), static_cast<size_t>(CUdpSocket::MAX_BATCH));
    const unsigned short local = loopback::free_port();
    ASSERT_TRUE(instr.start(local));

    // 1100 bytes is too long to segment: batches only. 172 bytes segments where it can.
    for (size_t len : {1100, 172}) {
        const unsigned long long drops_before = udp_drops::of_port(reflector.port());
        const Bytes d = datagram(len);
        source.send_to(d, loopback::address(local));
        std::vector<Bytes> copies;
        Bytes got;
        sockaddr_in from;
        size_t at = 0;
        while (copies.size() < keys.size() && reflector.receive(got, from, 3000)) {
            ASSERT_EQ(ntohs(from.sin_port), local);
            ASSERT_EQ(got.size(), len);
            // Whatever arrives comes in key order: find this copy's key at or after the last.
            const Bytes ssrc(got.begin() + 8, got.begin() + 12);
            while (at < keys.size() && keys[at].second != ssrc)
                ++at;
            ASSERT_LT(at, keys.size()) << "copy " << copies.size() << " out of order, length " << len;
            Bytes expected = d;
            std::copy(ssrc.begin(), ssrc.end(), expected.begin() + 8);
            ASSERT_EQ(got, expected);
            copies.push_back(got);
            ++at;
        }
        const unsigned long long dropped = udp_drops::of_port(reflector.port()) - drops_before;
        EXPECT_EQ(copies.size() + dropped, keys.size()) << "length " << len << ", dropped " << dropped;
    }
}

TEST_F(CInstrTest, CopiesComeFromTheBufferOfEachCall)
{
    Peer reflector;
    CInstr instr;
    Capture quiet;
    for (unsigned long address : {0x0A0000000003UL, 0x0A0000000101UL, 0x0A0000000002UL})
        instr.add_encoder(address, 0x7F000001, reflector.port());
    quiet.text();
    const std::vector<Bytes>& keys = THREE_SSRCS;
    // Called here directly, without the server thread, so each call may bring another buffer.
    ASSERT_TRUE(instr.socket().open(0, 0));
    const bool can_segment = instr.socket().can_segment();
    sockaddr_in from = loopback::address(1);
    for (bool segmenting : {false, true}) {
        if (segmenting && !can_segment)
            continue;
        instr.use_segments(segmenting);
        Bytes a = datagram(60), b(80, 0xC3), c = datagram(1500);
        for (Bytes* d : {&a, &b, &a, &c}) {
            const Bytes sent = *d;
            instr.on_raw_data(from, d->data(), static_cast<unsigned short>(d->size()));
            expect_copies(receive_n(reflector, keys.size(), nullptr, 3000), sent, keys);
            EXPECT_TRUE(receive_n(reflector, 1, nullptr, 100).empty()) << "one copy per key";
            EXPECT_EQ(Bytes(d->begin() + 8, d->begin() + 12), keys.back()) << "the last key stays";
            Bytes rest = *d;
            std::copy(sent.begin() + 8, sent.begin() + 12, rest.begin() + 8);
            EXPECT_EQ(rest, sent) << "only bytes 8-11 change";
        }
    }
}

TEST_F(CInstrTest, FallsBackToOneWritePerCopyWithoutBatchedSends)
{
    for (bool kernel_lacks_it : {false, true}) {
        SCOPED_TRACE(kernel_lacks_it ? "sendmmsg missing" : "batching off");
        Peer reflector, source;
        CInstr instr;
        Capture quiet;
        for (unsigned long address : {0x0A0000000003UL, 0x0A0000000101UL, 0x0A0000000002UL})
            instr.add_encoder(address, 0x7F000001, reflector.port());
        quiet.text();
        const unsigned short local = loopback::free_port();
        // As on a kernel without sendmmsg: every call fails while this lives.
        std::unique_ptr<syscall_fault::Fault> no_sendmmsg;
        if (kernel_lacks_it)
            no_sendmmsg.reset(new syscall_fault::Fault(syscall_fault::SENDMMSG, ENOSYS, INT_MAX));
        else
            instr.use_batches(false);
        ASSERT_TRUE(instr.start(local));
        const std::vector<Bytes>& keys = THREE_SSRCS;
        for (size_t len : {172, 50, 1500}) {
            source.send_to(datagram(len), loopback::address(local));
            std::vector<unsigned short> ports;
            expect_copies(receive_n(reflector, keys.size(), &ports, 3000), datagram(len), keys);
            EXPECT_TRUE(receive_n(reflector, 1, nullptr, 100).empty()) << "one copy per key";
            for (unsigned short port : ports)
                EXPECT_EQ(port, local);
        }
        // Once the server thread has ended, its flag can be read here.
        instr.stop();
        EXPECT_FALSE(instr.batched());
        if (no_sendmmsg) {
            EXPECT_GE(no_sendmmsg->injected(), 1);
        }
    }
}
