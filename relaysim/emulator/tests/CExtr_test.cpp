// Tests of the emulated decoder: request bytes and schedule, online/offline totals, forwarding.
#include "CExtr.h"

#include "CLogger.h"
#include "loopback.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

using loopback::Peer;
using loopback::wait_for;
using Bytes = std::vector<unsigned char>;

namespace {

class Recorder : public ISocketHandler {
public:
    void on_raw_data(const sockaddr_in&, unsigned char* data, unsigned short len) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_got.emplace_back(data, data + len);
    }
    std::vector<Bytes> got()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_got;
    }

private:
    std::mutex m_lock;
    std::vector<Bytes> m_got;
};

double cpu_seconds()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

sockaddr_in local_address(CExtr& d)
{
    sockaddr_in a;
    socklen_t len = sizeof(a);
    getsockname(d.m_socket.get_socket_fd(), reinterpret_cast<sockaddr*>(&a), &len);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

Bytes rtp(size_t len, unsigned int ssrc)
{
    Bytes b(len, 0xA5);
    for (int i = 0; i < 4 && 8 + i < static_cast<int>(len); ++i)
        b[8 + i] = static_cast<unsigned char>(ssrc >> (24 - 8 * i));
    return b;
}

class CExtrTest : public testing::Test {
protected:
    static void SetUpTestSuite() { CLogger::init("Test"); }
};

}  // namespace

TEST_F(CExtrTest, RequestAndSsrcBytes)
{
    unsigned char request[12];
    CExtr::make_request(utils::mac_big_endian(0x0A1B2C3D4E5FUL), request);
    EXPECT_EQ(Bytes(request, request + 12),
              (Bytes{'Q', 'V', 'L', ' ', 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0, 0}));

    const unsigned char data[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78, 9, 9, 9, 9};
    struct Case {
        int len;
        unsigned int ssrc;
    } cases[] = {{16, 0x12345678}, {12, 0x12345678}, {11, 0x12345600}, {9, 0x12000000},
                 {8, 0}, {0, 0}};
    for (const Case& c : cases)
        EXPECT_EQ(CExtr::ssrc_of(data, c.len), c.ssrc) << c.len;
}

TEST_F(CExtrTest, RequestsFirstWithinTwoSecondsThenEveryFour)
{
    Peer reflector;
    Recorder player;
    testing::internal::CaptureStdout();
    auto started = std::chrono::steady_clock::now();
    {
        CExtr decoder("ORVANTEX - 0", 0x0A1B2C3D4E5FUL, &player);
        ASSERT_TRUE(decoder.open(0x7F000001, reflector.port()));
        ASSERT_EQ(decoder.start(nullptr), 0);
        const unsigned short decoder_port = ntohs(local_address(decoder).sin_port);
        std::vector<double> at;
        Bytes got;
        sockaddr_in from;
        while (at.size() < 6 && reflector.receive(got, from, 9000)) {
            at.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
                             .count());
            EXPECT_EQ(got, (Bytes{'Q', 'V', 'L', ' ', 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0, 0}));
            EXPECT_EQ(ntohs(from.sin_port), decoder_port);
        }
        ASSERT_EQ(at.size(), 6u);
        EXPECT_LT(at[0], 3.5);
        EXPECT_GT(at[0], 1.5);
        // The first passes catch up with a schedule that began 4 s in the past.
        for (size_t i = 3; i < at.size(); ++i) {
            EXPECT_GT(at[i] - at[i - 1], 3.0) << i;
            EXPECT_LT(at[i] - at[i - 1], 6.5) << i;
        }
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Online"), std::string::npos);
    EXPECT_TRUE(player.got().empty());
}

TEST_F(CExtrTest, ReportsOnlineAndOfflineWithTotalsAndForwardsWhileSelected)
{
    Peer reflector;
    Recorder player;
    std::vector<std::unique_ptr<CExtr>> decoders;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; ++i) {
        decoders.emplace_back(new CExtr("ORVANTEX - " + std::to_string(i), 0x0A0000000001UL + i,
                                        &player));
        ASSERT_TRUE(decoders.back()->open(0x7F000001, reflector.port()));
        ASSERT_EQ(decoders.back()->start(nullptr), 0);
    }
    decoders[0]->m_selected = true;
    for (int i = 0; i < 3; ++i) {
        reflector.send_to(rtp(172, 0x12345678 + i), local_address(*decoders[i]));
        ASSERT_TRUE(wait_for([&] { return CExtr::online_ext == i + 1; }, 5000)) << i;
    }
    // Selected: every datagram reaches the player with its exact length (at most 1500).
    const std::vector<size_t> lengths = {0, 1, 11, 12, 50, 1500, 2000};
    for (size_t len : lengths)
        reflector.send_to(rtp(len, 0xCAFE0000u + len), local_address(*decoders[0]));
    ASSERT_TRUE(wait_for([&] { return player.got().size() == 1 + lengths.size(); }, 5000));
    std::vector<Bytes> got = player.got();
    EXPECT_EQ(got[0], rtp(172, 0x12345678));
    for (size_t i = 0; i < lengths.size(); ++i)
        EXPECT_EQ(got[1 + i], rtp(std::min<size_t>(lengths[i], 1500), 0xCAFE0000u + lengths[i]));

    // De-selected: nothing more is forwarded, but the stream is still tracked.
    decoders[0]->m_selected = false;
    reflector.send_to(rtp(100, 1), local_address(*decoders[0]));
    // Decoder 0 keeps getting a datagram every 3 s, the other two go quiet.
    for (int k = 0; k < 3; ++k) {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        reflector.send_to(rtp(100, 1), local_address(*decoders[0]));
    }
    EXPECT_EQ(CExtr::online_ext, 1);
    ASSERT_TRUE(wait_for([&] { return CExtr::online_ext == 0; }, 12000));
    EXPECT_EQ(player.got().size(), 1 + lengths.size());
    decoders.clear();
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_NE(out.find("\n[SSRC: 12345678] ORVANTEX - 0 : Online [Total online: 1]"),
              std::string::npos) << out;
    EXPECT_NE(out.find("\n[SSRC: 12345679] ORVANTEX - 1 : Online [Total online: 2]"),
              std::string::npos);
    EXPECT_NE(out.find("\n[SSRC: 1234567a] ORVANTEX - 2 : Online [Total online: 3]"),
              std::string::npos);
    std::regex offline("\nORVANTEX - (\\d) : Offline \\[Total online: (\\d)\\]");
    std::vector<std::string> order;
    for (std::sregex_iterator it(out.begin(), out.end(), offline), end; it != end; ++it)
        order.push_back((*it)[1].str() + ":" + (*it)[2].str());
    ASSERT_EQ(order.size(), 3u) << out;
    EXPECT_EQ(order[2], "0:0") << "the decoder fed every 3 s goes last";
    EXPECT_EQ(order[0].substr(2), "2");
    EXPECT_EQ(order[1].substr(2), "1");
}

TEST_F(CExtrTest, ShortFirstDatagramPrintsOnlyItsOwnBytes)
{
    Peer reflector;
    Recorder player;
    testing::internal::CaptureStdout();
    {
        CExtr decoder("ORVANTEX - 7", 0x0A0000000001UL, &player);
        ASSERT_TRUE(decoder.open(0x7F000001, reflector.port()));
        ASSERT_EQ(decoder.start(nullptr), 0);
        // A long datagram fills the buffer; after going offline, a 9-byte one comes first.
        reflector.send_to(rtp(172, 0x12345678), local_address(decoder));
        ASSERT_TRUE(wait_for([&] { return CExtr::online_ext == 1; }, 5000));
        ASSERT_TRUE(wait_for([&] { return CExtr::online_ext == 0; }, 12000));
        reflector.send_to(rtp(9, 0xAB000000), local_address(decoder));
        ASSERT_TRUE(wait_for([&] { return CExtr::online_ext == 1; }, 5000));
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\n[SSRC: ab000000] ORVANTEX - 7 : Online [Total online: 1]"),
              std::string::npos) << out;
    CExtr::online_ext = 0;
}

TEST_F(CExtrTest, RefusedRequestsNeitherSpinNorForwardAFailedRead)
{
    unsigned short port;
    {
        Peer gone;
        port = gone.port();
    }
    Recorder player;
    testing::internal::CaptureStdout();
    {
        CExtr decoder("ORVANTEX - 0", 0x0A0000000001UL, &player);
        ASSERT_TRUE(decoder.open(0x7F000001, port));
        decoder.m_selected = true;
        ASSERT_EQ(decoder.start(nullptr), 0);
        // The refused requests leave an error pending on the connected socket.
        std::this_thread::sleep_for(std::chrono::milliseconds(4500));
        const double cpu_before = cpu_seconds();
        std::this_thread::sleep_for(std::chrono::seconds(4));
        EXPECT_LT(cpu_seconds() - cpu_before, 0.2) << "more than 5% of a core";

        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = loopback::address(port);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
            close(fd);
            GTEST_SKIP() << "port taken meanwhile";
        }
        Bytes datagram = rtp(100, 0x01020304);
        sockaddr_in to = local_address(decoder);
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        EXPECT_TRUE(wait_for([&] { return !player.got().empty(); }, 6000));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::vector<Bytes> got = player.got();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], datagram);
        close(fd);
    }
    // The operator sees the refusal, at most once a request period.
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string refusal = "CSocket::send():ERR:Connection refused";
    size_t seen = 0;
    for (size_t at = out.find(refusal); at != std::string::npos; at = out.find(refusal, at + 1))
        ++seen;
    EXPECT_GE(seen, 1u) << out;
    EXPECT_LE(seen, 3u) << out;
    CExtr::online_ext = 0;
}

TEST_F(CExtrTest, DestroyedRightAfterStartIsNotUsedByItsThread)
{
    Peer reflector;
    Recorder player;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 20; ++i) {
        std::unique_ptr<CExtr> decoder(new CExtr("ORVANTEX - 0", 0x0A0000000001UL, &player));
        ASSERT_TRUE(decoder->open(0x7F000001, reflector.port(), 50));
        ASSERT_EQ(decoder->start(nullptr), 0);
    }
    testing::internal::GetCapturedStdout();
}
