// Tests of relaysim's command line: option rules, value conversion, usage exits.
#include "options.h"

#include "devices.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Parsed {
    bool ok;
    options opt;
    std::string out;
};

Parsed parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "/usr/bin/relaysim");
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    Parsed p;
    test_support::Capture out;
    p.ok = parse_command_line(static_cast<int>(words.size()), argv.data(), p.opt);
    p.out = out.text();
    return p;
}

std::string thirty_addresses()
{
    std::ostringstream out;
    for (int i = 1; i <= 30; ++i)
        out << std::hex << (0x001122000000UL + i) << "\n";
    return out.str();
}

class OptionsTest : public testing::Test {
protected:
    void TearDown() override { diag_mac_list = 0x0000FFFF00000000UL; }
    test_support::ListFile m_file{thirty_addresses()};
    const std::string m_list = m_file.path();
};

const char* const USAGE_FIRST =
    "Usage:/usr/bin/relaysim {-l local_port} {-r ref_server:port} {-p player:port} "
    "[-pd QRTP_port] [-d encoder_list.txt] [-e encoder_list.txt]\n";

}  // namespace

TEST_F(OptionsTest, UsageTextHasTenLines)
{
    test_support::Capture out;
    usage("prog");
    const std::string text = out.text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10);
    const std::string last =
        "{-x project_id}: Emulate a diagnostic decoder to connect to the given project ID\n";
    EXPECT_EQ(text.rfind(last), text.size() - last.size());
    EXPECT_EQ(text.find("-c"), std::string::npos);
}

TEST_F(OptionsTest, MissingLocalPortEndsInUsage)
{
    Parsed none = parse({});
    EXPECT_FALSE(none.ok);
    EXPECT_EQ(none.out.find(USAGE_FIRST), 0u);
    const std::string see = "Every option: /usr/bin/relaysim --help, or man relaysim\n";
    EXPECT_EQ(none.out.rfind(see), none.out.size() - see.size());

    // "-d" alone is examined: decoders from the built-in list, but still no local port.
    Parsed only_d = parse({"-d"});
    EXPECT_FALSE(only_d.ok);
    EXPECT_EQ(only_d.out.find("Current Options:/usr/bin/relaysim\nCurrent Options:-d\n" + std::string(USAGE_FIRST)), 0u);
}

TEST_F(OptionsTest, LastWordIsExaminedToo)
{
    Parsed p = parse({"-l", "5000", "-r", "127.0.0.1:6000", "-p", "127.0.0.2:7000", "-d", "-e"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.out,
              "Current Options:/usr/bin/relaysim\n"
              "Current Options:-l\n"
              "Current Options:-r\n"
              "Current Options:-p\n"
              "Current Options:-d\n"
              "Current Options:-e\n");
    EXPECT_TRUE(p.opt.decoders);
    EXPECT_TRUE(p.opt.encoders);
    EXPECT_EQ(p.opt.local_port, 5000);
    EXPECT_EQ(p.opt.reflector_addr, 0x7F000001u);
    EXPECT_EQ(p.opt.reflector_port, 6000);
    EXPECT_EQ(p.opt.decoder_port, 6000);
    EXPECT_EQ(p.opt.player_addr, 0x7F000002u);
    EXPECT_EQ(p.opt.player_port, 7000);
    EXPECT_EQ(p.opt.mac_list, builtin_decoders());
    EXPECT_EQ(p.opt.ins_list, builtin_encoders());
}

TEST_F(OptionsTest, NumbersKeepTheirMeaning)
{
    struct Case {
        std::vector<std::string> words;
        unsigned short decoder_port, reflector_port, project;
        int count, start;
    } cases[] = {
        {{"-l", "1", "-r", "10.1.2.3:9", "-pd", "0"}, 9, 9, 0, 10, 0},
        {{"-l", "1", "-r", "10.1.2.3:9", "-pd", "8"}, 8, 9, 0, 10, 0},
        {{"-l", "1", "-n", "-3", "-st", " +5", "-x", "258"}, 0, 0, 258, -3, 5},
        {{"-l", "1", "-n", "0", "-x", "0"}, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        Parsed p = parse(c.words);
        ASSERT_TRUE(p.ok) << c.words.back();
        EXPECT_EQ(p.opt.decoder_port, c.decoder_port) << c.words.back();
        EXPECT_EQ(p.opt.reflector_port, c.reflector_port) << c.words.back();
        EXPECT_EQ(p.opt.project_id, c.project);
        EXPECT_EQ(p.opt.count, c.count);
        EXPECT_EQ(p.opt.start, c.start);
    }
}

TEST_F(OptionsTest, HelpListsEveryOptionInEightyColumns)
{
    test_support::Capture out;
    help();
    const std::string text = out.text();
    for (const char* name : {"-l", "-r", "-p", "-pd", "-n", "-st", "-d", "-e", "-x", "-c", "--duration",
                             "--max-loss", "--max-jitter", "--max-delay", "--clock-rate", "--report", "--csv", "--prom",
                             "--ramp", "--interval", "--receive-interval", "--start-interval", "--help"})
        EXPECT_NE(text.find("\n  " + std::string(name) + " "), std::string::npos) << name;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 80u) << line;
}

TEST_F(OptionsTest, ConfigServerHostIsReplacedOnlyByHostAndPort)
{
    EXPECT_EQ(parse({"-l", "1", "-c", "cfg.example:99"}).opt.config_host, "cfg.example");
    EXPECT_EQ(parse({"-l", "1", "-c", "cfg.example"}).opt.config_host, CONFIG_SERVER_HOST);
}

TEST_F(OptionsTest, ListFilesUseCountAndStartAsTheyStand)
{
    Parsed before = parse({"-n", "20", "-st", "3", "-d", m_list, "-l", "1"});
    ASSERT_TRUE(before.ok);
    EXPECT_NE(before.out.find("reading decoder mac list from - " + m_list + "\n"),
              std::string::npos);
    ASSERT_EQ(before.opt.mac_list.size(), 20u);
    EXPECT_EQ(before.opt.mac_list[0], 0x001122000003UL);

    Parsed after = parse({"-d", m_list, "-n", "20", "-l", "1"});
    ASSERT_TRUE(after.ok);
    EXPECT_EQ(after.opt.mac_list.size(), 10u);
    EXPECT_EQ(after.opt.mac_list[0], 0x001122000001UL);
    EXPECT_EQ(after.opt.count, 20);

    // "-d" before "-e file": the built-in decoder list stays, the encoders come from the file.
    Parsed both = parse({"-d", "-e", m_list, "-l", "1"});
    ASSERT_TRUE(both.ok);
    EXPECT_TRUE(both.opt.decoders);
    EXPECT_TRUE(both.opt.encoders);
    EXPECT_EQ(both.opt.mac_list.size(), 174u);
    EXPECT_EQ(both.opt.ins_list.size(), 10u);
    EXPECT_NE(both.out.find("reading encoder mac list from - " + m_list + "\n"),
              std::string::npos);
}

TEST(GetIpAddressTest, ResolvesDottedQuadsAndNames)
{
    EXPECT_EQ(get_ip_address("127.0.0.1"), 0x7F000001u);
    EXPECT_EQ(get_ip_address("192.168.1.20"), 0xC0A80114u);
    EXPECT_EQ(get_ip_address("localhost") >> 24, 127u);
    EXPECT_EQ(get_ip_address("no.such.host.invalid"), 0u);
}

TEST_F(OptionsTest, MeasurementOptionsAreCheckedStrictly)
{
    const std::string dir = "/tmp/no_such_folder_for_relaysim_options_test";
    const std::string SECONDS = "relaysim: --duration needs a number of seconds greater than 0";
    const std::string HZ = "relaysim: --clock-rate needs a whole number of Hz greater than 0";
    const std::string RAMP = "relaysim: --ramp needs START:STEP:HOLD_SECONDS[:MAX], whole numbers of "
                             "decoders from 1 (MAX at least START) and a hold of 3 s or more";
    struct Case {
        std::vector<std::string> words;
        std::string error;  // the one line on standard error; empty when accepted
    } cases[] = {
        {{"-l", "1"}, ""},
        {{"-l", "1", "--duration", "2.5", "--max-loss", "0", "--max-jitter", "20",
          "--clock-rate", "48000", "--report", "/tmp/r.json", "--csv",
          "/tmp/relaysim_options_test.csv", "--prom", "/tmp/p.prom"},
         ""},
        {{"-l", "1", "--duration", "abc"}, SECONDS + ", not \"abc\"\n"},
        {{"--duration", "-5", "-l", "1"}, SECONDS + ", not \"-5\"\n"},
        {{"-l", "1", "--duration", "0"}, SECONDS + ", not \"0\"\n"},
        {{"-l", "1", "--duration", "inf"}, SECONDS + ", not \"inf\"\n"},
        {{"-l", "1", "--duration"}, "relaysim: --duration needs a value: --duration SECONDS\n"},
        {{"-l", "1", "--max-loss", "5%"}, "relaysim: --max-loss needs a loss percentage from 0 to 100, not \"5%\"\n"},
        {{"-l", "1", "--max-jitter", "-1"},
         "relaysim: --max-jitter needs a number of milliseconds, 0 or more, not \"-1\"\n"},
        {{"-l", "1", "--clock-rate", "0"}, HZ + ", not \"0\"\n"},
        {{"-l", "1", "--clock-rate", "-8000"}, HZ + ", not \"-8000\"\n"},
        {{"-l", "1", "--report", "-d"}, "relaysim: --report needs a file name, not \"-d\"\n"},
        {{"-l", "1", "--prom"}, "relaysim: --prom needs a value: --prom FILE\n"},
        {{"-l", "1", "--csv", dir + "/c.csv"},
         "relaysim: --csv: can't write " + dir + "/c.csv: No such file or directory\n"},
        {{"-l", "1", "--report", "/tmp"}, "relaysim: --report: can't write /tmp: Is a directory\n"},
        {{"-l", "1", "--prom", "/dev/null"}, "relaysim: --prom: can't write /dev/null: Invalid argument\n"},
        {{"-l", "1", "--report", "/tmp/r.json", "--csv", "/tmp/r.json"},
         "relaysim: --csv: /tmp/r.json is already the file of --report\n"},
        {{"-l", "1", "--report", "/tmp/r.json", "--csv", "/tmp/../tmp/./r.json"},
         "relaysim: --csv: /tmp/../tmp/./r.json is already the file of --report\n"},
        {{"-l", "1", "--start-interval", "-1"},
         "relaysim: --start-interval needs a number of milliseconds from 0 to 1000, not \"-1\"\n"},
        {{"-l", "1", "--ramp", "10:5:3"}, ""},
        {{"-l", "1", "--ramp", "10:5:2.5:50"}, RAMP + ", not \"10:5:2.5:50\"\n"},
        {{"-l", "1", "--ramp", "10:5:30:9"}, RAMP + ", not \"10:5:30:9\"\n"},
        {{"-l", "1", "--ramp", "0:5:30"}, RAMP + ", not \"0:5:30\"\n"},
        {{"-l", "1", "--ramp", "10:5"}, RAMP + ", not \"10:5\"\n"},
        {{"-l", "1", "--ramp", "10:5:30:"}, RAMP + ", not \"10:5:30:\"\n"},
        {{"-l", "1", "--duration", "9", "--ramp", "1:1:3"},
         "relaysim: --ramp ends by itself; leave out --duration\n"},
        {{"-l", "1", "--ramp", "10:5:12.5:40"}, ""},
        {{"-l", "1", "--receive-interval", "0"}, ""},
        {{"-l", "1", "--receive-interval", "1001"},
         "relaysim: --receive-interval needs a number of milliseconds from 0 to 1000, not \"1001\"\n"},
        {{"-l", "1", "--start-interval", "0"}, ""},
    };
    const size_t cases_n = sizeof(cases) / sizeof(cases[0]);
    for (const Case& c : cases) {
        const std::string line = c.words.back();
        test_support::Capture err(test_support::Capture::STDERR);
        Parsed p = parse(c.words);
        EXPECT_EQ(err.text(), c.error) << line;
        EXPECT_EQ(p.ok, c.error.empty()) << line;
        EXPECT_EQ(p.out.find("Usage:"), std::string::npos) << line;
    }
    Parsed all = parse(cases[1].words);
    EXPECT_TRUE(all.opt.measured());
    EXPECT_EQ(*all.opt.duration_s, 2.5);
    EXPECT_EQ(*all.opt.max_loss_percent, 0.0);
    EXPECT_EQ(*all.opt.max_jitter_ms, 20.0);
    EXPECT_EQ(all.opt.rtp_clock_rate(), 48000u);
    EXPECT_EQ(all.opt.prom_path, "/tmp/p.prom");
    EXPECT_NE(access("/tmp/relaysim_options_test.csv", F_OK), 0) << "the check leaves no file";
    Parsed ramp = parse(cases[cases_n - 4].words);
    ASSERT_TRUE(ramp.opt.ramp);
    EXPECT_TRUE(ramp.opt.measured());
    EXPECT_EQ(ramp.opt.ramp->start, 10u);
    EXPECT_EQ(ramp.opt.ramp->step, 5u);
    EXPECT_EQ(ramp.opt.ramp->hold_s, 12.5);
    EXPECT_EQ(ramp.opt.ramp->max, 40u);
    Parsed none = parse(cases[0].words);
    EXPECT_FALSE(none.opt.measured());
    EXPECT_EQ(none.opt.receive_interval_ms, 250u);
    Parsed per_datagram = parse(cases[cases_n - 3].words);
    EXPECT_EQ(per_datagram.opt.receive_interval_ms, 0u);
    EXPECT_FALSE(per_datagram.opt.measured()) << "it makes no measured run";
    EXPECT_EQ(none.opt.rtp_clock_rate(), 8000u);
    EXPECT_EQ(none.opt.start_interval_ms, 20u);
    EXPECT_EQ(parse(cases[cases_n - 1].words).opt.start_interval_ms, 0u);
}
