// Tests of the player relay: unchanged forwarding and its online report.
#include "CPlayer.h"

#include "CLogger.h"
#include "loopback.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using loopback::Peer;
using Bytes = std::vector<unsigned char>;

class CPlayerTest : public test_support::LoggedTest {
};

TEST_F(CPlayerTest, ForwardsUnchangedAndReportsOnlineOncePerChange)
{
    Peer player_peer;
    CPlayer player(0x7F000001, player_peer.port());
    ASSERT_TRUE(player.open());
    EXPECT_FALSE(player.state().online());

    test_support::Capture capture;
    sockaddr_in from = loopback::address(9);
    for (size_t len : {0, 12, 172, 1500}) {
        Bytes d(len, static_cast<unsigned char>(len));
        player.on_raw_data(from, d.data(), static_cast<unsigned short>(len));
        Bytes got;
        sockaddr_in sender;
        ASSERT_TRUE(player_peer.receive(got, sender, 2000)) << len;
        EXPECT_EQ(got, d);
    }
    const time_t now = time(nullptr);
    EXPECT_FALSE(player.check_offline(now + 5));
    EXPECT_TRUE(player.check_offline(now + 6));
    Bytes d(20, 1);
    player.on_raw_data(from, d.data(), 20);
    std::string out = capture.text();
    const std::string line =
        "\nreflector stream online. streaming to 127.0.0.1:" + std::to_string(player_peer.port()) + "\n";
    EXPECT_EQ(out, line + line);
}
