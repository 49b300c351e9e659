// Tests of the device lists: built-in tables, list files, diagnostic addresses, taking rules.
#include "devices.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>

#include <set>
#include <string>

namespace {

using test_support::ListFile;
using List = std::vector<unsigned long>;

}  // namespace

TEST(DevicesTest, BuiltInTablesHaveTheRequiredShape)
{
    for (const List& table : {builtin_decoders(), builtin_encoders()}) {
        ASSERT_EQ(table.size(), 174u);
        std::set<unsigned long> low32;
        for (size_t i = 0; i < table.size(); ++i) {
            EXPECT_EQ(table[i] >> 48, 0u);
            EXPECT_EQ(table[i] >> 24, table[0] >> 24) << "one vendor prefix";
            if (i > 0) {
                EXPECT_LT(table[i - 1], table[i]);
            }
            low32.insert(table[i] & 0xFFFFFFFFu);
        }
        EXPECT_EQ(low32.size(), table.size());
    }
    EXPECT_NE(builtin_decoders()[0] >> 24, builtin_encoders()[0] >> 24);
}

TEST(DevicesTest, ReadMacListFollowsTheFileFormat)
{
    const unsigned long A = 0x0A1B2C3D4E5FUL;
    struct Case {
        const char* what;
        std::string text;
        int count;
        unsigned short start;
        List expected;
    } cases[] = {
        {"three lines, count 10", "1\n2\n3\n", 10, 0, {1, 2, 3}},
        {"no newline at the end", "1\n2", 10, 0, {1, 2}},
        {"CR-LF and 0x prefix", "0x0a1b2c3d4e5f\r\n0X0A1B2C3D4E5F\r\n", 10, 0, {A, A}},
        {"remark after the digits", "0A1B2C3D4E5F  # front desk\n", 10, 0, {A}},
        {"remarks, blanks, zero skipped", "# list\n\n0\n   \n\r\n5\n", 10, 0, {5}},
        {"separators", "00:0a:1b:2c:3d:4e\n0a:1b:2c:3d:4e:5f\n", 10, 0, {0x0A}},
        {"leading white space", " \t0a1b2c3d4e5f\n", 10, 0, {A}},
        {"count limits", "1\n2\n3\n4\n", 2, 0, {1, 2}},
        {"count 0 reads one", "1\n2\n", 0, 0, {1}},
        {"count 0 stops after one line", "#\n2\n", 0, 0, {}},
        {"negative count reads all", "1\n2\n3\n", -1, 0, {1, 2, 3}},
        {"start 5 skips lines 1-4", "1\n# x\n3\n4\n5\n6\n", 10, 5, {5, 6}},
        {"start 1 is start 0", "1\n2\n", 10, 1, {1, 2}},
        {"wide values kept whole", "123456789abcdef\n", 10, 0, {0x123456789abcdefUL}},
    };
    for (const Case& c : cases) {
        ListFile file(c.text);
        List list = {99, 98};
        read_mac_list(file.path(), list, c.count, c.start);
        EXPECT_EQ(list, c.expected) << c.what;
    }
}

TEST(DevicesTest, LineNumberWrapsAt65536)
{
    std::string text;
    for (int line = 1; line <= 65540; ++line)
        text += std::to_string(line) + "\n";
    ListFile file(text);
    List list;
    read_mac_list(file.path(), list, -1, 3);
    // Lines 3 to 65535 are read; the counter then wraps, so lines 65536 to 65538
    // (counters 0 to 2) fall below the start again and 65539 on are read.
    ASSERT_EQ(list.size(), 65533u + 2u);
    EXPECT_EQ(list[0], 0x3u);
    EXPECT_EQ(list[65532], 0x65535u);
    EXPECT_EQ(list[65533], 0x65539u);
    EXPECT_EQ(list[65534], 0x65540u);
}

TEST(DevicesTest, MissingFileKeepsTheListAndSaysSo)
{
    List list = builtin_decoders();
    test_support::Capture out;
    read_mac_list("/nonexistent/list.txt", list, 10, 0);
    EXPECT_EQ(out.text(),
              "error opening mac address list file - /nonexistent/list.txt");
    EXPECT_EQ(list.size(), 174u);
}

TEST(DevicesTest, DiagnosticAddressesCarryProjectAndSequence)
{
    const unsigned long saved = diag_mac_list;
    combine_project_id(258);
    EXPECT_EQ(take_diag_decoders(2, 0), (List{0xFFFF00010102UL, 0xFFFF00020102UL}));
    EXPECT_EQ(take_diag_decoders(2, 65535), (List{0xFFFF00000102UL, 0xFFFF00010102UL}));
    EXPECT_EQ(take_diag_decoders(1, 9), (List{0xFFFF000A0102UL}));
    // Numbering wraps at 16 bits whatever the start, with no signed overflow at the top.
    EXPECT_EQ(take_diag_decoders(2, INT_MAX), (List{0xFFFF00000102UL, 0xFFFF00010102UL}));
    EXPECT_EQ(take_diag_decoders(1, -2), (List{0xFFFFFFFF0102UL}));
    EXPECT_TRUE(take_diag_decoders(0, 0).empty());
    EXPECT_TRUE(take_diag_decoders(-1, 0).empty());
    diag_mac_list = saved;
}

TEST(DevicesTest, TakingRulesDifferForNegativeCounts)
{
    const List list = {1, 2, 3};
    struct Case {
        int count;
        size_t decoders, encoders;
    } cases[] = {{2, 2, 2}, {3, 3, 3}, {10, 3, 3}, {0, 1, 1}, {-1, 3, 1}};
    for (const Case& c : cases) {
        EXPECT_EQ(take_decoders(list, c.count).size(), c.decoders) << c.count;
        EXPECT_EQ(take_encoders(list, c.count).size(), c.encoders) << c.count;
    }
    EXPECT_EQ(take_decoders(list, 2), (List{1, 2}));
    EXPECT_TRUE(take_decoders({}, 5).empty());
    EXPECT_TRUE(take_encoders({}, 5).empty());
}
