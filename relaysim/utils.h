// Shared helpers of relaysim: MAC byte order, key=value text, local interface queries.
#pragma once

#include <string>

namespace utils {

void get_value(const std::string& text, const std::string& key, std::string& value);
unsigned long mac_big_endian(const unsigned long& mac);
void trim(std::string& s);
bool get_mac_addr(const std::string& ifname, unsigned char* mac);
bool get_ip_addr(const std::string& ifname, unsigned int& ip);

}  // namespace utils
