// Shared helpers of relaysim: MAC byte order, key=value text, addresses, local interface queries.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

namespace utils {

void get_value(const std::string& text, const std::string& key, std::string& value);
unsigned long mac_big_endian(const unsigned long& mac);
void trim(std::string& s);
bool get_mac_addr(const std::string& ifname, unsigned char* mac);
bool get_ip_addr(const std::string& ifname, unsigned int& ip);

// The system record for an address and port in host byte order.
inline sockaddr_in make_address(unsigned int address, unsigned short port)
{
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    return a;
}

}  // namespace utils

// Resolves a host name or dotted quad with the system resolver: the first IPv4 address,
// host byte order; 0 when the name can't be resolved. The command line and the
// configuration client resolve by this one rule.
unsigned int get_ip_address(const std::string& host);
