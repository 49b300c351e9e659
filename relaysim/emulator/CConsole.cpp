// Operator console of relaysim: selects by index the decoder heard on the local player.
#include "CConsole.h"

#include "CRunDevices.h"
#include "console_text.h"
#include "report_formats.h"

#include <errno.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

CConsole::CConsole(CRunDevices& devices, int fd)
    : m_devices(devices),
      m_fd(fd),
      m_current(0),
      m_last_value(-1),
      m_line_len(0),
      m_line_too_long(false)
{
}

void CConsole::pass(int wait_ms)
{
    if (m_fd >= 0) {
        pollfd pfd = {m_fd, POLLIN | POLLPRI, 0};
        int ready = ::poll(&pfd, 1, wait_ms);
        if (ready > 0)
            read_input();
    } else {
        ::poll(nullptr, 0, wait_ms);
    }
    check_relays(time(nullptr));
    if (!console_text::whole_lines()) {
        printf("\rSelect stream to listen on the local PC?");
    } else if (m_prompt_due) {
        // Once, and again after the operator acts: a log keeps it whole and no live line
        // is glued to it.
        printf("Select stream to listen on the local PC?\n");
        m_prompt_due = false;
    }
    fflush(stdout);
}

void CConsole::run()
{
    for (;;)
        pass();
}

// Input is taken by whole lines, read straight from the descriptor so that
// nothing waits in a stdio buffer the poll can't see; a line that does not begin
// with a decimal number, and whatever follows the number, is dropped. The one
// other line acted on is "s" alone: the per-stream table.
void CConsole::read_input()
{
    // What a stdio buffer would take at once, so that a long line is whole in one pass.
    char chunk[4096];
    ssize_t n = ::read(m_fd, chunk, sizeof(chunk));
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        // End of input or a broken descriptor: a last line without '\n' still counts.
        take_line();
        m_fd = -1;
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (chunk[i] == '\n') {
            take_line();
        } else if (m_line_len == 0 && isspace(static_cast<unsigned char>(chunk[i]))) {
            // Blanks before the number take no room: any number of them may precede it.
        } else if (m_line_len < LINE_SIZE - 1) {
            m_line[m_line_len++] = chunk[i];
        } else {
            m_line_too_long = true;
        }
    }
}

void CConsole::take_line()
{
    const bool cut = m_line_too_long;
    const size_t len = m_line_len;
    m_line[len] = '\0';
    m_line_len = 0;
    m_line_too_long = false;
    if (len == 0)
        return;
    m_prompt_due = true;
    const char* p = m_line;
    while (isspace(static_cast<unsigned char>(*p)))
        ++p;
    if ((*p == 's' || *p == 'w' || *p == 't') && !cut) {
        const char* rest = p + 1;
        while (isspace(static_cast<unsigned char>(*rest)))
            ++rest;
        if (*rest == '\0')
            print_table(*p);
        return;
    }
    const char* digits = p + ((*p == '-' || *p == '+') ? 1 : 0);
    if (!isdigit(static_cast<unsigned char>(*digits)))
        return;
    errno = 0;
    char* end = nullptr;
    long value = strtol(p, &end, 10);
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return;
    // Of a line cut short only a number that ends before the cut is whole.
    if (cut && end == m_line + len)
        return;
    act(static_cast<int>(value));
}

// "s" fits a screen, "w" is every decoder and column, "t" the totals alone.
void CConsole::print_table(char form)
{
    const CReport::Result result = CReport::result(m_devices.measure());
    std::string text;
    if (form == 'w') {
        text = report_formats::table(result);
    } else if (form == 't') {
        text = report_formats::totals_table(result);
    } else {
        // The screen's height less the header, total, "more" line, prompt and a live line or
        // two, so that the header stays in sight; a log reads as a 24-line terminal would.
        winsize ws;
        const int rows = ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 ? ws.ws_row : 24;
        text = report_formats::console_table(result, static_cast<size_t>(std::max(rows - 7, 5)));
    }
    printf("%s", text.c_str());
}

void CConsole::act(int value)
{
    m_last_value = value;
    const int size = static_cast<int>(m_devices.created());
    if (value == -1) {
        printf("Stop listening on PC\n");
        if (m_current < size) {
            printf("De-selecting stream - %s\n", m_devices.name(m_current).c_str());
            m_devices.select(m_current, false);
        }
    } else if (value >= 0 && value < size) {
        printf("Selecting stream - %s\n", m_devices.name(value).c_str());
        m_devices.select(value, true);
        if (m_current != value) {
            printf("De-selecting stream - %s\n", m_devices.name(m_current).c_str());
            m_devices.select(m_current, false);
            m_current = value;
        }
    }
}

void CConsole::check_relays(time_t now)
{
    if (m_devices.local_offline(now))
        printf("local stream offline\n");
    if (m_last_value >= 0 && m_devices.player_offline(now))
        printf("reflector stream offline\n");
}
