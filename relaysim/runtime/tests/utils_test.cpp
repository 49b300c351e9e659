// Tests of utils: key=value look-up, MAC byte order, trimming, local interface queries.
#include "utils.h"

#include "test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using UtilsTest = test_support::LoggedTest;

TEST_F(UtilsTest, GetValue)
{
    struct Case {
        const char* text;
        const char* key;
        const char* expected;
    } cases[] = {
        {"a=1,bb=22", "a", "1"},
        {"a=1,bb=22", "bb", "22"},
        {"audio_port=5,port=6", "port", "5"},  // first match, inside another key
        {"x=1,key=", "key", ""},
        {"key=,x=1", "key", ""},
        {"k= v ,x", "k", " v "},  // nothing trimmed
        {"a=1,b=2", "c", "previous"},
        {"", "a", "previous"},
        {"a=b=c,d", "a", "b=c"},
    };
    for (const auto& c : cases) {
        std::string value = "previous";
        utils::get_value(c.text, c.key, value);
        EXPECT_EQ(c.expected, value) << c.text << " / " << c.key;
    }
}

TEST_F(UtilsTest, MacBigEndianReversesSixLowBytes)
{
    struct Case {
        unsigned long in;
        unsigned long out;
    } cases[] = {
        {0x001122334455UL, 0x554433221100UL},
        {0x554433221100UL, 0x001122334455UL},
        {0xFFFF001122334455UL, 0x554433221100UL},  // bits above 47 are dropped
        {0x0000000000A1UL, 0xA10000000000UL},
        {0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.out, utils::mac_big_endian(c.in)) << std::hex << c.in;

    // The result's memory image is the transmission order.
    const unsigned long wire = utils::mac_big_endian(0x001122334455UL);
    const unsigned char expected[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0, 0};
    EXPECT_EQ(0, memcmp(&wire, expected, 8));
}

TEST_F(UtilsTest, TrimStripsSpacesAndTabsOnly)
{
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {" \tabc \t", "abc"},
        {"abc\r\n", "abc\r\n"},
        {"  ", ""},
        {"", ""},
        {"a b", "a b"},
        {"\t x", "x"},
        {"\nx ", "\nx"},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        utils::trim(s);
        EXPECT_EQ(c.out, s) << '"' << c.in << '"';
    }
}

TEST_F(UtilsTest, InterfaceQueriesOnLoopback)
{
    unsigned char mac[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_TRUE(utils::get_mac_addr("lo", mac));
    const unsigned char zero[6] = {};
    EXPECT_EQ(0, memcmp(mac, zero, 6)) << "loopback has an all-zero hardware address";

    unsigned int ip = 0;
    EXPECT_TRUE(utils::get_ip_addr("lo", ip));
    EXPECT_EQ(htonl(0x7F000001), ip) << "network byte order";
}

TEST_F(UtilsTest, InterfaceQueryFailures)
{
    EXPECT_FALSE(utils::get_mac_addr("lo", nullptr));

    unsigned char mac[6] = {1, 2, 3, 4, 5, 6};
    unsigned int ip = 77;
    test_support::Capture out;
    EXPECT_FALSE(utils::get_mac_addr("nosuchif0", mac));
    EXPECT_FALSE(utils::get_ip_addr("nosuchif0", ip));
    EXPECT_EQ("Can not get mac address for \"nosuchif0\"Can not get ip address for \"nosuchif0\"",
              out.text());
    const unsigned char untouched[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(0, memcmp(mac, untouched, 6));
    EXPECT_EQ(77u, ip);
}

}  // namespace
