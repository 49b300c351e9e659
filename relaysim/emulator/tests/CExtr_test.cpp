// Tests of the emulated decoder: request bytes and schedule, online/offline totals, forwarding.
#include "CExtr.h"
#include "CSendLog.h"

#include "loopback.h"
#include "test_support.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using loopback::Peer;
using test_support::Capture;
using test_support::eventually;
using test_support::Recorder;
using Bytes = std::vector<unsigned char>;

namespace {

double cpu_seconds()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

sockaddr_in local_address(CExtr& d)
{
    return loopback::address(d.local_port());
}

timespec at(time_t seconds, long ms = 0)
{
    return timespec{seconds, ms * 1000000L};
}

Bytes rtp(size_t len, unsigned int ssrc)
{
    Bytes b(len, 0xA5);
    for (int i = 0; i < 4 && 8 + i < static_cast<int>(len); ++i)
        b[8 + i] = static_cast<unsigned char>(ssrc >> (24 - 8 * i));
    return b;
}

using CExtrTest = test_support::LoggedTest;

// Opens the decoder toward the reflector with a 200 ms poll and starts its thread.
testing::AssertionResult run(CExtr& decoder, const Peer& reflector, bool selected)
{
    if (!decoder.open(0x7F000001, reflector.port(), 200))
        return testing::AssertionFailure() << "open failed";
    decoder.select(selected);
    if (decoder.start(nullptr) != 0)
        return testing::AssertionFailure() << "start failed";
    return testing::AssertionSuccess();
}

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

TEST_F(CExtrTest, FirstRequestReachesTheReflectorFromTheDecoderPort)
{
    Peer reflector;
    Recorder player;
    Capture quiet;  // until the decoder, declared after it, is gone
    CExtr decoder("ORVANTEX - 0", 0x0A1B2C3D4E5FUL, &player);
    ASSERT_TRUE(run(decoder, reflector, false));
    Bytes got;
    sockaddr_in from;
    // The first pass waits one poll for input before it sends.
    ASSERT_TRUE(reflector.receive(got, from, 9000));
    EXPECT_EQ(got, (Bytes{'Q', 'V', 'L', ' ', 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0, 0}));
    EXPECT_EQ(ntohs(from.sin_port), decoder.local_port());
}

TEST_F(CExtrTest, RequestScheduleFollowsTheClock)
{
    Recorder player;
    CExtr decoder("ORVANTEX - 0", 0x0A0000000001UL, &player);
    decoder.begin(100);
    // Passes at these times, and whether each sends: the schedule starts one period back,
    // a late pass advances it one period, so after a stall it catches up pass by pass.
    const struct {
        time_t now;
        bool sends;
    } passes[] = {{100, true}, {100, false}, {101, true}, {102, false}, {104, false}, {105, true},
                  {107, false}, {109, true}, {120, true}, {120, true}, {120, false},
                  {121, true}, {124, false}, {125, true}};
    for (const auto& p : passes)
        EXPECT_EQ(decoder.end_pass(false, at(p.now, 999)), p.sends ? CExtr::PASS_SEND_REQUEST : CExtr::PASS_NOTHING)
            << "at " << p.now;
}

TEST_F(CExtrTest, OnlineAndOfflineReportsCarryTheTotals)
{
    Recorder player;
    std::vector<std::unique_ptr<CExtr>> decoders;
    for (int i = 0; i < 3; ++i) {
        decoders.emplace_back(new CExtr("ORVANTEX - " + std::to_string(i), 0x0A0000000001UL + i, &player));
        decoders.back()->begin(100);
    }
    const sockaddr_in from = loopback::address(1);
    Capture capture;
    for (int i = 0; i < 3; ++i) {
        Bytes d = rtp(172, 0x12345678 + i);
        decoders[i]->on_datagram(from, d.data(), static_cast<int>(d.size()), at(100, 900));
    }
    EXPECT_EQ(CExtr::online_ext, 3);
    // Judged from the last arrival stamp, to the millisecond, on silent passes only: 6 s,
    // however often the passes come. Decoder 0 pauses 4.9 s and stays online.
    Bytes d = rtp(100, 1);
    EXPECT_EQ(decoders[0]->end_pass(false, at(105, 800)) & CExtr::PASS_OFFLINE, 0);
    decoders[0]->on_datagram(from, d.data(), static_cast<int>(d.size()), at(105, 800));
    const struct {
        int decoder;
        timespec now;
        bool received;
        bool offline;
    } passes[] = {
        {2, at(105, 0), false, false},   // 4.1 s: more than 4 s in whole seconds, not yet
        {2, at(106, 899), false, false}, // 5.999 s
        {2, at(106, 900), false, true},  // 6 s
        {1, at(107, 0), true, false},    // a pass that received
        {1, at(107, 0), false, true},
        {1, at(108, 0), false, false},   // reported once
        {0, at(111, 799), false, false},
        {0, at(111, 800), false, true},
    };
    for (const auto& p : passes)
        EXPECT_EQ(decoders[p.decoder]->end_pass(p.received, p.now) & CExtr::PASS_OFFLINE,
                  p.offline ? CExtr::PASS_OFFLINE : 0)
            << p.decoder << " at " << p.now.tv_sec << "." << p.now.tv_nsec;
    EXPECT_EQ(CExtr::online_ext, 0);
    EXPECT_FALSE(decoders[0]->online());
    EXPECT_EQ(decoders[2]->address(), 0x0A0000000003UL);
    EXPECT_EQ(capture.text(),
              "\n[SSRC: 12345678] ORVANTEX - 0 : Online [Total online: 1]"
              "\n[SSRC: 12345679] ORVANTEX - 1 : Online [Total online: 2]"
              "\n[SSRC: 1234567a] ORVANTEX - 2 : Online [Total online: 3]"
              "\nORVANTEX - 2 : Offline [Total online: 2]"
              "\nORVANTEX - 1 : Offline [Total online: 1]"
              "\nORVANTEX - 0 : Offline [Total online: 0]");
    EXPECT_EQ(player.count(), 0) << "nothing selected";
}

TEST_F(CExtrTest, SelectionPlaysOnlyWhatArrivedFromItsMoment)
{
    Recorder player;
    CExtr decoder("ORVANTEX - 0", 0x0A0000000001UL, &player);
    decoder.begin(100);
    const sockaddr_in from = loopback::address(1);
    Capture quiet;
    decoder.select(true, at(200, 500));
    // A batch taken after the selection: queued before it, at it, after it.
    const struct {
        timespec arrival;
        unsigned int ssrc;
    } batch[] = {{at(200, 295), 1}, {at(200, 499), 2}, {at(200, 500), 3}, {at(200, 750), 4}};
    for (const auto& b : batch) {
        Bytes d = rtp(172, b.ssrc);
        decoder.on_datagram(from, d.data(), static_cast<int>(d.size()), b.arrival);
    }
    decoder.select(false);
    Bytes d = rtp(172, 5);
    decoder.on_datagram(from, d.data(), static_cast<int>(d.size()), at(201));
    const auto got = player.got();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].bytes, rtp(172, 3));
    EXPECT_EQ(got[1].bytes, rtp(172, 4));
    EXPECT_EQ(decoder.stats().snapshot().received, 5u) << "all counted";
    quiet.text();
    CExtr::online_ext = 0;
}

TEST_F(CExtrTest, EachCopyIsTimedByItsOwnEncoderAsTheStreamChanges)
{
    // Three encoders' copies of one datagram (sequence 0xA5A5) left 1 ms apart from 1 s on.
    CSendLog log({0x10, 0x20, 0x30});
    log.sent(0xA5A5, 0xA5A5A5A5u, 1000000000, 1002000000);
    Recorder player;
    CExtr decoder("ORVANTEX - 0", 0x0A0000000001UL, &player);
    decoder.set_send_log(&log);
    decoder.begin(0);
    Capture quiet;
    // The reflector switches the decoder to another encoder, a stranger, then back.
    for (unsigned int ssrc : {0x10u, 0x20u, 0x40u, 0x10u}) {
        Bytes d = rtp(172, ssrc);
        decoder.on_datagram(loopback::address(1), d.data(), static_cast<int>(d.size()), at(1, 5));
    }
    const CDelayStats::Snapshot s = decoder.delay().snapshot();
    EXPECT_EQ(s.matched, 3u);
    EXPECT_EQ(s.sum_ns, 14000000u) << "5 ms, 4 ms, 5 ms";
    EXPECT_EQ(s.max_ns, 5000000);
    quiet.text();
    CExtr::online_ext = 0;
}

TEST_F(CExtrTest, ForwardsEveryDatagramWhileSelectedOnly)
{
    Peer reflector;
    Recorder player;
    Capture quiet;
    {
        CExtr decoder("ORVANTEX - 0", 0x0A0000000001UL, &player);
        ASSERT_TRUE(run(decoder, reflector, true));
        const sockaddr_in to = loopback::address(decoder.local_port());
        // Every datagram reaches the player with its exact length (at most 1500).
        const std::vector<size_t> lengths = {0, 1, 11, 12, 50, 172, 1500, 2000};
        for (size_t len : lengths)
            reflector.send_to(rtp(len, 0xCAFE0000u + len), to);
        ASSERT_TRUE(eventually([&] { return player.count() == static_cast<int>(lengths.size()); }, 5000));
        const auto got = player.got();
        for (size_t i = 0; i < lengths.size(); ++i)
            EXPECT_EQ(got[i].bytes, rtp(std::min<size_t>(lengths[i], 1500), 0xCAFE0000u + lengths[i]));

        // De-selected: nothing more is forwarded, though the stream is still tracked.
        decoder.select(false);
        reflector.send_to(rtp(100, 1), to);
        reflector.send_to(rtp(100, 2), to);
        ASSERT_TRUE(eventually([&] { return decoder.online(); }, 5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(player.count(), static_cast<int>(lengths.size()));
    }
    quiet.text();
    CExtr::online_ext = 0;
}

TEST_F(CExtrTest, ShortFirstDatagramPrintsOnlyItsOwnBytes)
{
    Recorder player;
    CExtr decoder("ORVANTEX - 7", 0x0A0000000001UL, &player);
    decoder.begin(100);
    const sockaddr_in from = loopback::address(1);
    // A long datagram fills the buffer; after going offline, a 9-byte one comes first.
    Bytes buffer = rtp(172, 0x12345678);
    Capture capture;
    decoder.on_datagram(from, buffer.data(), 172, at(100));
    decoder.end_pass(false, at(106));
    const Bytes short_one = rtp(9, 0xAB000000);
    std::copy(short_one.begin(), short_one.end(), buffer.begin());
    decoder.on_datagram(from, buffer.data(), 9, at(106));
    const std::string out = capture.text();
    EXPECT_NE(out.find("\n[SSRC: ab000000] ORVANTEX - 7 : Online [Total online: 1]"), std::string::npos) << out;
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
    Capture capture;
    {
        CExtr decoder("ORVANTEX - 0", 0x0A0000000001UL, &player);
        ASSERT_TRUE(decoder.open(0x7F000001, port));
        decoder.select(true);
        ASSERT_EQ(decoder.start(nullptr), 0);
        // The refused requests leave an error pending on the connected socket.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        const double cpu_before = cpu_seconds();
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        EXPECT_LT(cpu_seconds() - cpu_before, 0.125) << "more than 5% of a core";

        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = loopback::address(port);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
            close(fd);
            GTEST_SKIP() << "port taken meanwhile";
        }
        Bytes datagram = rtp(100, 0x01020304);
        sockaddr_in to = local_address(decoder);
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        EXPECT_TRUE(eventually([&] { return player.count() > 0; }, 6000));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const auto got = player.got();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].bytes, datagram);
        close(fd);
    }
    // The operator sees the refusal, at most once a request period.
    const std::string out = capture.text();
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
    Capture quiet;
    for (int i = 0; i < 20; ++i) {
        std::unique_ptr<CExtr> decoder(new CExtr("ORVANTEX - 0", 0x0A0000000001UL, &player));
        ASSERT_TRUE(decoder->open(0x7F000001, reflector.port(), 50));
        ASSERT_EQ(decoder->start(nullptr), 0);
    }
    quiet.text();
}

TEST_F(CExtrTest, BatchWaitShortensForFastStreams)
{
    const struct {
        unsigned int n;
        double elapsed_ms;
        unsigned int capacity;
        unsigned int wait_ms;
    } cases[] = {
        {0, 100, 512, 250},       // nothing came: the full interval
        {5, 100, 512, 250},       // 50/s: half the buffer lasts 5 s
        {200, 100, 512, 128},     // 2,000/s: 256 datagrams take 128 ms
        {2000, 10, 100, 1},       // faster than any wait: the shortest one
        {5, 0, 512, 128},         // rate unknown: taken as 2,000/s, 256 datagrams in 128 ms
        {1, 0, 104, 26},          // the same with a 212,992-byte buffer limit (rmem_max)
    };
    for (const auto& c : cases)
        EXPECT_EQ(CExtr::batch_wait_ms(250, c.n, c.elapsed_ms, c.capacity), c.wait_ms) << c.n;
}

TEST_F(CExtrTest, BatchedDecoderCountsEveryDatagramAndForwardsAtOnceWhenSelected)
{
    Peer reflector;
    Recorder player;
    Capture quiet;
    {
        CExtr decoder("ORVANTEX - 0", 0x0A0000000001UL, &player);
        decoder.set_receive_interval(1000);
        ASSERT_TRUE(run(decoder, reflector, false));
        const sockaddr_in to = loopback::address(decoder.local_port());
        // More than one batch holds, with their own sequence numbers: nothing lost.
        for (int i = 0; i < 3 * CExtr::BATCH; ++i) {
            Bytes b = rtp(172, 0x1234);
            b[0] = 0x80;
            b[3] = static_cast<unsigned char>(i);
            reflector.send_to(b, to);
        }
        ASSERT_TRUE(eventually([&] { return decoder.stats().snapshot().received == 3 * CExtr::BATCH; }, 5000));
        EXPECT_EQ(decoder.stats().snapshot().lost, 0u);
        EXPECT_EQ(player.count(), 0);

        // Selected, each datagram is forwarded as it comes, not a 1000 ms batch later.
        decoder.select(true);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 1; i <= 5; ++i) {
            reflector.send_to(rtp(172, 0x1234), to);
            ASSERT_TRUE(eventually([&] { return player.count() == i; }, 5000)) << i;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    }
    quiet.text();
    CExtr::online_ext = 0;
}
