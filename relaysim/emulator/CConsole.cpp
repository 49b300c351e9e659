// Operator console of relaysim: selects by index the decoder heard on the local player.
#include "CConsole.h"

#include "CExtr.h"
#include "CInstr.h"
#include "CPlayer.h"
#include "report_formats.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

CConsole::CConsole(const std::vector<CExtr*>& streams, CPlayer& player, CInstr& instr, int fd)
    : m_streams(streams),
      m_player(player),
      m_instr(instr),
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
    printf("\rSelect stream to listen on the local PC?");
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
    const char* p = m_line;
    while (isspace(static_cast<unsigned char>(*p)))
        ++p;
    if (*p == 's' && !cut) {
        const char* rest = p + 1;
        while (isspace(static_cast<unsigned char>(*rest)))
            ++rest;
        if (*rest == '\0')
            printf("%s", report_formats::table(CReport::result(measure())).c_str());
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

void CConsole::act(int value)
{
    m_last_value = value;
    const int size = static_cast<int>(m_streams.size());
    if (value == -1) {
        printf("Stop listening on PC\n");
        if (m_current < size) {
            CExtr* stream = m_streams[m_current];
            printf("De-selecting stream - %s\n", stream->name().c_str());
            stream->select(false);
        }
    } else if (value >= 0 && value < size) {
        CExtr* chosen = m_streams[value];
        printf("Selecting stream - %s\n", chosen->name().c_str());
        chosen->select(true);
        if (m_current != value) {
            CExtr* old = m_streams[m_current];
            printf("De-selecting stream - %s\n", old->name().c_str());
            old->select(false);
            m_current = value;
        }
    }
}

CReport::Run CConsole::measure() const
{
    CReport::Run run;
    run.decoders.reserve(m_streams.size());
    for (size_t i = 0; i < m_streams.size(); ++i) {
        const CExtr& d = *m_streams[i];
        run.decoders.push_back(
            {static_cast<int>(i), d.name(), d.address(), d.online(), d.stats().snapshot()});
        run.decoders.back().dropped_here = d.dropped_here();
    }
    const CInstr& instr = m_instr;
    const CRtpStats::Snapshot in = instr.stats().snapshot();
    run.local = {in.received, in.lost, in.jitter_ms, instr.copies_sent(), instr.send_errors()};
    return run;
}

void CConsole::check_relays(time_t now)
{
    if (m_instr.check_offline(now))
        printf("local stream offline\n");
    if (m_last_value >= 0 && m_player.check_offline(now))
        printf("reflector stream offline\n");
}
