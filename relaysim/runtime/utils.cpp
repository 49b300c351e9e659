// Shared helpers of relaysim: MAC byte order, key=value text, local interface queries.
#include "utils.h"

#include "CLogger.h"

#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace utils {

namespace {
// Query socket of one interface look-up, closed on every return.
struct query_socket {
    int fd;
    query_socket() : fd(::socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~query_socket()
    {
        if (fd != -1)
            ::close(fd);
    }
    query_socket(const query_socket&) = delete;
    query_socket& operator=(const query_socket&) = delete;
};

// One interface query; what names the value in the failure message.
bool query_interface(const std::string& ifname, unsigned long request, const char* what, ifreq& req)
{
    query_socket q;
    if (q.fd == -1)
        return false;
    memset(&req, 0, sizeof(req));
    strncpy(req.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    req.ifr_addr.sa_family = AF_INET;
    if (ioctl(q.fd, request, &req) != 0) {
        CLogger::m_logger->log_msg("Can not get %s address for \"%s\"", what, ifname.c_str());
        return false;
    }
    return true;
}
}  // namespace

void get_value(const std::string& text, const std::string& key, std::string& value)
{
    const std::string needle = key + "=";
    const std::string::size_type at = text.find(needle);
    if (at == std::string::npos)
        return;
    const std::string::size_type begin = at + needle.size();
    const std::string::size_type comma = text.find(',', begin);
    if (comma == std::string::npos)
        value = text.substr(begin);
    else
        value = text.substr(begin, comma - begin);
}

unsigned long mac_big_endian(const unsigned long& mac)
{
    unsigned long out = 0;
    for (int i = 0; i < 6; ++i)
        out = (out << 8) | ((mac >> (8 * i)) & 0xFFUL);
    return out;
}

void trim(std::string& s)
{
    static const char blanks[] = " \t";
    const std::string::size_type first = s.find_first_not_of(blanks);
    if (first == std::string::npos) {
        s.clear();
        return;
    }
    const std::string::size_type last = s.find_last_not_of(blanks);
    s = s.substr(first, last - first + 1);
}

bool get_mac_addr(const std::string& ifname, unsigned char* mac)
{
    ifreq req;
    if (mac == nullptr || !query_interface(ifname, SIOCGIFHWADDR, "mac", req))
        return false;
    memcpy(mac, req.ifr_hwaddr.sa_data, 6);
    return true;
}

bool get_ip_addr(const std::string& ifname, unsigned int& ip)
{
    ifreq req;
    if (!query_interface(ifname, SIOCGIFADDR, "ip", req))
        return false;
    sockaddr_in addr;
    memcpy(&addr, &req.ifr_addr, sizeof(addr));
    ip = addr.sin_addr.s_addr;
    return true;
}

}  // namespace utils

unsigned int get_ip_address(const std::string& host)
{
    const hostent* he = gethostbyname(host.c_str());
    if (he == nullptr || he->h_addrtype != AF_INET || he->h_addr_list[0] == nullptr)
        return 0;
    in_addr addr;
    memcpy(&addr, he->h_addr_list[0], sizeof(addr));
    return ntohl(addr.s_addr);
}
