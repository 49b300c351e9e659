// Tests of the local-stream relay: one copy per encoder, SSRC per encoder, key order, length rule.
#include "CInstr.h"

#include "CLogger.h"
#include "loopback.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using loopback::Peer;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes datagram(size_t len)
{
    Bytes b(len);
    for (size_t i = 0; i < len; ++i)
        b[i] = static_cast<unsigned char>(i * 7 + 1);
    return b;
}

std::vector<Bytes> receive_all(const Peer& peer, std::vector<unsigned short>* ports, int timeout_ms)
{
    std::vector<Bytes> got;
    Bytes d;
    sockaddr_in from;
    while (peer.receive(d, from, timeout_ms)) {
        got.push_back(d);
        if (ports)
            ports->push_back(ntohs(from.sin_port));
    }
    return got;
}

class CInstrTest : public testing::Test {
protected:
    static void SetUpTestSuite() { CLogger::init("Test"); }
};

}  // namespace

TEST_F(CInstrTest, KeyWrittenLowByteFirstIsTheLowAddressOctets)
{
    struct Case {
        unsigned long address;
        Bytes ssrc;
    } cases[] = {{0x0A1B2C3D4E5FUL, {0x2C, 0x3D, 0x4E, 0x5F}},
                 {0x000000000001UL, {0, 0, 0, 1}},
                 {0xFFFF12345678UL, {0x12, 0x34, 0x56, 0x78}}};
    for (const Case& c : cases) {
        unsigned long key = CInstr::key_of(c.address);
        Bytes written = {static_cast<unsigned char>(key), static_cast<unsigned char>(key >> 8),
                         static_cast<unsigned char>(key >> 16), static_cast<unsigned char>(key >> 24)};
        EXPECT_EQ(written, c.ssrc) << std::hex << c.address;
    }
}

TEST_F(CInstrTest, RelaysOneCopyPerEncoderInKeyOrderFromTheLocalPort)
{
    Peer reflector, source;
    CInstr instr;
    testing::internal::CaptureStdout();
    // Ascending key order is by the last octet first: ..0101, ..02, ..03.
    for (unsigned long address : {0x0A0000000003UL, 0x0A0000000101UL, 0x0A0000000002UL})
        instr.add_encoder(address, 0x7F000001, reflector.port());
    const unsigned short local = loopback::free_port();
    ASSERT_TRUE(instr.start(local));

    source.send_to(datagram(49), loopback::address(local));
    EXPECT_TRUE(receive_all(reflector, nullptr, 1000).empty());
    EXPECT_FALSE(instr.m_online);

    for (size_t len : {50, 172, 1500}) {
        source.send_to(datagram(len), loopback::address(local));
        std::vector<unsigned short> ports;
        std::vector<Bytes> copies = receive_all(reflector, &ports, 2000);
        ASSERT_EQ(copies.size(), 3u) << len;
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
    EXPECT_TRUE(instr.m_online);
    std::string out = testing::internal::GetCapturedStdout();
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
    testing::internal::CaptureStdout();
    instr.add_encoder(0x0A0011223344UL, 0x7F000001, reflector.port());
    instr.add_encoder(0x0B0011223344UL, 0x7F000001, reflector.port());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(instr.m_encoders.size(), 1u);
    EXPECT_NE(out.find("Adding encoder 0x0b0011223344."), std::string::npos);
    EXPECT_NE(out.find("Adding encoder 0x0a0011223344."), std::string::npos);
}

TEST_F(CInstrTest, WithoutEncodersTheStreamIsStillTracked)
{
    CInstr instr;
    Bytes d = datagram(60);
    sockaddr_in from = loopback::address(1);
    testing::internal::CaptureStdout();
    instr.on_raw_data(from, d.data(), 49);
    EXPECT_FALSE(instr.m_online);
    instr.on_raw_data(from, d.data(), 60);
    EXPECT_TRUE(instr.m_online);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "local stream online\n");
    EXPECT_EQ(d, datagram(60)) << "nothing to send, nothing written";
}

TEST_F(CInstrTest, GoesOfflineOnlyAfterMoreThanFiveSilentSeconds)
{
    CInstr instr;
    const time_t now = time(nullptr);
    instr.m_last_rx = now - 6;
    EXPECT_FALSE(instr.check_offline(now)) << "never online";
    instr.m_online = true;
    instr.m_last_rx = now - 5;
    EXPECT_FALSE(instr.check_offline(now));
    instr.m_last_rx = now - 6;
    EXPECT_TRUE(instr.check_offline(now));
    EXPECT_FALSE(instr.m_online);
    EXPECT_FALSE(instr.check_offline(now));
}
