// The console lines the devices print, in the product's own form or in whole lines.
#pragma once

#include <string>

// The product's form starts a decoder's message with "\n" and leaves the line open for the
// prompt that "\r" rewrites every pass. A measured run, whose output is read in logs and
// between live lines, prints every message as a whole line of its own instead.
namespace console_text {

void set_whole_lines(bool on);
bool whole_lines();

void decoder_online(unsigned int ssrc, const std::string& name, int total);
void decoder_offline(const std::string& name, int total);
void player_online(const char* address, int port);

}  // namespace console_text
