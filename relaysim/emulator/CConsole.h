// Operator console of relaysim: selects by index the decoder heard on the local player.
#pragma once

#include <stddef.h>
#include <time.h>

class CRunDevices;

class CConsole {
public:
    enum { WAIT_MS = 1000, LINE_SIZE = 128 };

    CConsole(CRunDevices& devices, int fd = 0);

    // One pass: wait up to wait_ms (a signal ends the wait early) for input, act on every
    // complete line, check both relays for silence, print the prompt.
    void pass(int wait_ms = WAIT_MS);
    [[noreturn]] void run();

    // Acts on one value as if the operator had typed it.
    void act(int value);

    int current() const { return m_current; }
    int last_value() const { return m_last_value; }
    bool input_open() const { return m_fd >= 0; }

private:
    void read_input();
    void take_line();
    void check_relays(time_t now);
    void print_table(char form);

    CRunDevices& m_devices;
    // -1 once input has ended or failed: the loop then only sleeps between passes.
    int m_fd;
    int m_current;
    int m_last_value;
    char m_line[LINE_SIZE];
    size_t m_line_len;
    bool m_line_too_long;
    bool m_prompt_due = true;
};
