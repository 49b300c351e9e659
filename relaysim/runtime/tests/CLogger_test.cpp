// Tests of CLogger: identity from the path, console text, facility clamp, system-log priorities.
#include "CLogger.h"

#include "syscall_fault.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

// The system log is observed by standing in for vsyslog in this program, and for the
// checked form that fortified builds call instead.
namespace {
struct SyslogCall {
    int priority;
    std::string text;
};
std::vector<SyslogCall> g_syslog;
}  // namespace

SYSCALL_FAULT_STAND_IN void vsyslog(int priority, const char* fmt, va_list ap)
{
    char buf[512];
    vsnprintf(buf, sizeof(buf), fmt, ap);
    g_syslog.push_back({priority, buf});
}

SYSCALL_FAULT_STAND_IN void __vsyslog_chk(int priority, int, const char* fmt, va_list ap)
{
    vsyslog(priority, fmt, ap);
}

namespace {

using test_support::Capture;

class CLoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Capture quiet;
        CLogger::init("CLogger_test");
        CLogger::m_logger->m_mode_syslog = false;
        g_syslog.clear();
    }
    void TearDown() override { CLogger::m_logger->m_mode_syslog = false; }
};

TEST_F(CLoggerTest, InitDerivesIdentityAndAnnouncesItself)
{
    struct Case {
        const char* path;
        const char* ident;
    } cases[] = {{"Test", ""}, {"/usr/local/bin/relaysim", "relaysim"}, {"./relaysim", "relaysim"},
                 {"/opt/tools/", ""}, {"", ""}};
    CLogger* const logger = CLogger::m_logger;
    for (const auto& c : cases) {
        Capture out;
        EXPECT_EQ(0, CLogger::init(c.path));
        EXPECT_EQ("Initializing Logging service\n", out.text()) << c.path;
        ASSERT_NE(nullptr, CLogger::m_ident);
        EXPECT_STREQ(c.ident, CLogger::m_ident) << c.path;
        EXPECT_EQ(logger, CLogger::m_logger) << "a second init keeps the logger";
    }
    EXPECT_TRUE(g_syslog.empty()) << "console mode writes nothing to the system log";
}

TEST_F(CLoggerTest, ConsoleMessagesAreWrittenAsFormatted)
{
    Capture out;
    CLogger::m_logger->log_msg("CSocket::connect():Could not connect to remote %lu:%u", 2130706433UL, 9u);
    CLogger::m_logger->log_msg("Thread %s ( 0x%lu ) exit noramally\n", "t", 7UL);
    EXPECT_EQ("CSocket::connect():Could not connect to remote 2130706433:9Thread t ( 0x7 ) exit noramally\n",
              out.text());
}

TEST_F(CLoggerTest, SetModeSyslogClampsFacility)
{
    struct Case {
        int given;
        int kept;
    } cases[] = {{300, 184}, {-1, 184}, {185, 184}, {184, 184}, {8, 8}, {0, 0}};
    for (const auto& c : cases) {
        CLogger::m_logger->set_mode_syslog(c.given);
        EXPECT_TRUE(CLogger::m_logger->m_mode_syslog);
        EXPECT_EQ(c.kept, CLogger::m_logger->m_facility) << c.given;
    }
    CLogger::m_logger->set_mode_syslog(184);
}

TEST_F(CLoggerTest, SyslogModeSendsAtInfoAndLeavesStdoutAlone)
{
    CLogger::m_logger->set_mode_syslog(184);
    Capture out;
    CLogger::m_logger->log_msg("Exiting udp server thread:%s\n", "srv");
    EXPECT_EQ("", out.text());
    ASSERT_EQ(1u, g_syslog.size());
    EXPECT_EQ(LOG_INFO, g_syslog[0].priority);
    EXPECT_EQ("Exiting udp server thread:srv\n", g_syslog[0].text);
}

TEST_F(CLoggerTest, LogToFilePicksPriorityByStreamAndWritesNothingToIt)
{
    FILE* file = tmpfile();
    ASSERT_NE(nullptr, file);
    Capture out;
    CLogger::m_logger->log_to_file(stderr, "e%d", 1);
    CLogger::m_logger->log_to_file(stdout, "o%d", 2);
    CLogger::m_logger->log_to_file(file, "f%d", 3);
    CLogger::m_logger->syslog(LOG_WARNING, "w%d", 4);
    EXPECT_EQ("", out.text());
    fflush(file);
    EXPECT_EQ(0L, ftell(file));
    fclose(file);

    ASSERT_EQ(4u, g_syslog.size());
    const SyslogCall expected[] = {{LOG_ERR, "e1"}, {LOG_INFO, "o2"}, {LOG_INFO, "f3"}, {LOG_WARNING, "w4"}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(expected[i].priority, g_syslog[i].priority) << i;
        EXPECT_EQ(expected[i].text, g_syslog[i].text) << i;
    }
}

}  // namespace
