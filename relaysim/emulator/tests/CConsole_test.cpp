// Tests of the operator console: selection messages and order, bad input, end of input.
#include "CConsole.h"

#include "CExtr.h"
#include "CInstr.h"
#include "CLogger.h"
#include "CPlayer.h"
#include "CRunDevices.h"
#include "console_text.h"
#include "options.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string PROMPT = "\rSelect stream to listen on the local PC?";

class CConsoleTest : public test_support::LoggedTest {
protected:

    void SetUp() override
    {
        ASSERT_EQ(pipe(m_pipe), 0);
        test_support::Capture quiet;
        for (int i = 0; i < 3; ++i) {
            m_devices.add_decoder(false);
            m_streams.push_back(&m_devices.decoder(i));
        }
    }
    void TearDown() override
    {
        close(m_pipe[0]);
        if (m_pipe[1] >= 0)
            close(m_pipe[1]);
    }

    // Feeds input, runs one pass, returns what it printed before the prompt.
    std::string pass(CConsole& console, const std::string& input)
    {
        if (!input.empty()) {
            EXPECT_EQ(write(m_pipe[1], input.data(), input.size()),
                      static_cast<ssize_t>(input.size()));
        }
        test_support::Capture capture;
        console.pass();
        std::string out = capture.text();
        EXPECT_GE(out.size(), PROMPT.size());
        EXPECT_EQ(out.substr(out.size() - PROMPT.size()), PROMPT);
        return out.substr(0, out.size() - PROMPT.size());
    }

    std::vector<bool> selected() const
    {
        std::vector<bool> s;
        for (CExtr* d : m_streams)
            s.push_back(d->selected());
        return s;
    }

    int m_pipe[2];
    options m_opt;
    CRunDevices m_devices{m_opt, {1, 2, 3}};
    CPlayer& m_player = m_devices.player();
    CInstr& m_instr = m_devices.instr();
    std::vector<CExtr*> m_streams;
};

}  // namespace

TEST_F(CConsoleTest, SelectionMessagesComeInOrder)
{
    CConsole console(m_devices, m_pipe[0]);
    struct Step {
        const char* input;
        const char* printed;
        std::vector<bool> selected;
        int current;
    } steps[] = {
        {"2\n", "Selecting stream - ORVANTEX - 2\nDe-selecting stream - ORVANTEX - 0\n",
         {false, false, true}, 2},
        {"2\n", "Selecting stream - ORVANTEX - 2\n", {false, false, true}, 2},
        {"5\n", "", {false, false, true}, 2},
        {"-2\n", "", {false, false, true}, 2},
        {"-1\n", "Stop listening on PC\nDe-selecting stream - ORVANTEX - 2\n",
         {false, false, false}, 2},
        {"  1 and the rest\n", "Selecting stream - ORVANTEX - 1\nDe-selecting stream - ORVANTEX - 2\n",
         {false, true, false}, 1},
        {"0\n2\n",
         "Selecting stream - ORVANTEX - 0\nDe-selecting stream - ORVANTEX - 1\n"
         "Selecting stream - ORVANTEX - 2\nDe-selecting stream - ORVANTEX - 0\n",
         {false, false, true}, 2},
        {"abc\n\n+\n99999999999\n", "", {false, false, true}, 2},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(pass(console, s.input), s.printed) << s.input;
        EXPECT_EQ(selected(), s.selected) << s.input;
        EXPECT_EQ(console.current(), s.current) << s.input;
    }
    EXPECT_EQ(console.last_value(), 2) << "bad input leaves the last value";
    // A long line still counts when its number is whole; leading blanks take no room.
    EXPECT_EQ(pass(console, "1" + std::string(300, ' ') + "\n"),
              "Selecting stream - ORVANTEX - 1\nDe-selecting stream - ORVANTEX - 2\n");
    EXPECT_EQ(pass(console, "1"), "") << "no line end yet";
    EXPECT_EQ(pass(console, "\n"), "Selecting stream - ORVANTEX - 1\n");
    EXPECT_EQ(pass(console, std::string(200, ' ') + "0\n"),
              "Selecting stream - ORVANTEX - 0\nDe-selecting stream - ORVANTEX - 1\n");
}

TEST_F(CConsoleTest, WholeLinesPromptOnceAndAgainOnlyAfterTheOperatorActs)
{
    console_text::set_whole_lines(true);
    CConsole console(m_devices, m_pipe[0]);
    const std::string prompt = "Select stream to listen on the local PC?\n";
    const struct {
        std::string input, printed;
    } steps[] = {
        {"", prompt},
        {"", ""},
        {"1\n", "Selecting stream - ORVANTEX - 1\nDe-selecting stream - ORVANTEX - 0\n" + prompt},
        {"", ""},
        {"9\n", prompt},
    };
    for (const auto& step : steps) {
        if (!step.input.empty()) {
            ASSERT_EQ(write(m_pipe[1], step.input.data(), step.input.size()),
                      static_cast<ssize_t>(step.input.size()));
        }
        test_support::Capture out;
        console.pass(1);
        EXPECT_EQ(out.text(), step.printed) << step.input;
    }
    console_text::set_whole_lines(false);
}

TEST_F(CConsoleTest, StopWithAnEmptyListTouchesNoDecoder)
{
    CRunDevices none(m_opt, {});
    CConsole console(none, m_pipe[0]);
    EXPECT_EQ(pass(console, "-1\n"), "Stop listening on PC\n");
    EXPECT_EQ(pass(console, "0\n"), "");
}

TEST_F(CConsoleTest, BadInputAndEndOfInputAreNotReadAgain)
{
    CConsole console(m_devices, m_pipe[0]);
    using clock = std::chrono::steady_clock;
    EXPECT_EQ(pass(console, "x1\n"), "");
    auto t0 = clock::now();
    EXPECT_EQ(pass(console, ""), "");
    EXPECT_GT(clock::now() - t0, std::chrono::milliseconds(800)) << "garbage left readable";

    // A last line without a line end still counts at end of input.
    EXPECT_EQ(pass(console, "1"), "");
    close(m_pipe[1]);
    m_pipe[1] = -1;
    EXPECT_EQ(pass(console, ""), "Selecting stream - ORVANTEX - 1\nDe-selecting stream - ORVANTEX - 0\n");
    EXPECT_FALSE(console.input_open());
    for (int i = 0; i < 2; ++i) {
        t0 = clock::now();
        EXPECT_EQ(pass(console, ""), "");
        EXPECT_GT(clock::now() - t0, std::chrono::milliseconds(800)) << "one wake a second";
    }
    // Without input the passes still report streams that stopped.
    m_instr.state().received(time(nullptr) - 10);
    EXPECT_EQ(pass(console, ""), "local stream offline\n");
}

TEST_F(CConsoleTest, ReflectorCheckWaitsForAValueOfZeroOrMore)
{
    CConsole console(m_devices, m_pipe[0]);
    const time_t long_ago = time(nullptr) - 10;
    m_player.state().received(long_ago);
    m_instr.state().received(long_ago);
    EXPECT_EQ(pass(console, ""), "local stream offline\n");
    EXPECT_EQ(pass(console, "-1\n"),
              "Stop listening on PC\nDe-selecting stream - ORVANTEX - 0\n");
    EXPECT_TRUE(m_player.state().online());
    EXPECT_EQ(pass(console, "7\n"), "reflector stream offline\n");
    EXPECT_FALSE(m_player.state().online());
    EXPECT_EQ(pass(console, ""), "");
}

TEST_F(CConsoleTest, LineSPrintsThePerStreamTable)
{
    // Decoder 1 hears sequence numbers 1, 2 and 4, 20 ms apart as their timestamps say.
    {
        test_support::Capture quiet;
        for (uint16_t seq : {1, 2, 4}) {
            unsigned char rtp[172] = {0x80, 0, 0, static_cast<unsigned char>(seq)};
            const uint32_t ts = 160u * seq;
            for (int i = 0; i < 4; ++i)
                rtp[4 + i] = static_cast<unsigned char>(ts >> (24 - 8 * i));
            const timespec arrival = {time(nullptr), 20000000L * seq};
            m_streams[1]->on_datagram(sockaddr_in(), rtp, sizeof(rtp), arrival);
        }
    }

    // "s": the columns read first, in 80 columns; "w": every column; "t": the totals alone.
    const std::string table =
        "index  name          received  loss %  jit ms  gap s   on\n"
        "    0  ORVANTEX - 0         0    0.00    0.00   0.00    n\n"
        "    1  ORVANTEX - 1         3   25.00    0.00   0.04    y\n"
        "    2  ORVANTEX - 2         0    0.00    0.00   0.00    n\n"
        "total  3 decoders           3   25.00    0.00   0.04  1/3\n";
    const std::string header =
        "index  name          received  lost %  duplicates  reordered  strays  jitter ms  worst jitter ms  max gap ms  ssrc changes  unanalysed  online\n";
    const std::string totals =
        header +
        "total  3 decoders           3   25.00           0          0       0       0.00             0.00        40.0             0           0     1/3\n"
        "local  local stream         0    0.00           -          -       -       0.00                -           -             -           -       -\n"
        "local stream: copies sent 0, send errors 0\n";
    const std::string wide =
        header +
        "    0  ORVANTEX - 0         0    0.00           0          0       0       0.00             0.00         0.0             0           0      no\n"
        "    1  ORVANTEX - 1         3   25.00           0          0       0       0.00             0.00        40.0             0           0     yes\n"
        "    2  ORVANTEX - 2         0    0.00           0          0       0       0.00             0.00         0.0             0           0      no\n" +
        totals.substr(header.size());
    CConsole console(m_devices, m_pipe[0]);
    struct Step {
        std::string input;
        std::string printed;
    } steps[] = {
        {"s\n", table},
        {"  s \t\n", table},
        {"w\n", wide},
        {"t\n", totals},
        {"1\ns\n", "Selecting stream - ORVANTEX - 1\nDe-selecting stream - ORVANTEX - 0\n" + table},
        {"sx\n", ""},
        {"s 0\n", ""},
        {"S\n", ""},
        {"s" + std::string(200, ' ') + "\n", ""},  // cut short: not known to be "s" alone
    };
    for (const Step& step : steps)
        EXPECT_EQ(pass(console, step.input), step.printed) << step.input;
    EXPECT_EQ(console.last_value(), 1) << "s is not a value";
    EXPECT_EQ(selected(), (std::vector<bool>{false, true, false}));

    // The count of online decoders is shared by every test: leave it as it was.
    test_support::Capture quiet;
    EXPECT_TRUE(m_streams[1]->end_pass(false, timespec{time(nullptr) + 60, 0}) & CExtr::PASS_OFFLINE);
}
