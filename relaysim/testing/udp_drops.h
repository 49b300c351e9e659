// The kernel's count of datagrams a loopback UDP socket dropped, for tests and benchmarks.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace udp_drops {

// Datagrams the socket bound to 127.0.0.1:port dropped for want of buffer space
// (/proc/net/udp, last column); 0 when there is no such socket.
inline unsigned long long of_port(unsigned short port)
{
    char local[32];
    snprintf(local, sizeof(local), "0100007F:%04X", port);
    std::ifstream udp("/proc/net/udp");
    std::string line;
    while (std::getline(udp, line)) {
        std::istringstream fields(line);
        std::string slot, address, field;
        if (!(fields >> slot >> address) || address != local)
            continue;
        while (fields >> field) {
        }
        return std::stoull(field);
    }
    return 0;
}

}  // namespace udp_drops
