// The console lines the devices print, in the product's own form or in whole lines.
#include "console_text.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<bool> g_whole_lines{false};
}

void console_text::set_whole_lines(bool on)
{
    g_whole_lines = on;
}

bool console_text::whole_lines()
{
    return g_whole_lines.load(std::memory_order_relaxed);
}

// One printf a message, flushed at once: messages of several threads never interleave.
void console_text::decoder_online(unsigned int ssrc, const std::string& name, int total)
{
    printf(whole_lines() ? "[SSRC: %x] %s : Online [Total online: %d]\n"
                         : "\n[SSRC: %x] %s : Online [Total online: %d]",
           ssrc, name.c_str(), total);
    fflush(stdout);
}

void console_text::decoder_offline(const std::string& name, int total)
{
    printf(whole_lines() ? "%s : Offline [Total online: %d]\n" : "\n%s : Offline [Total online: %d]",
           name.c_str(), total);
    fflush(stdout);
}

void console_text::player_online(const char* address, int port)
{
    printf(whole_lines() ? "reflector stream online. streaming to %s:%d\n"
                         : "\nreflector stream online. streaming to %s:%d\n",
           address, port);
    fflush(stdout);
}
