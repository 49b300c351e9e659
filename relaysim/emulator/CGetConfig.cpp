// Configuration-server lookup: one text request per device, one text reply naming its reflector.
#include "CGetConfig.h"

#include "utils.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char REQUEST_HEAD[] = "id=12&mac=";
constexpr char REQUEST_TAIL[] = "&get_config=fw_type=v.1,cfg_ver=4,set_ver=0";
constexpr char HOST_KEY[] = "ref_ip=";
constexpr char PORT_KEY[] = "audio_port=";

constexpr unsigned short MAX_REPLY = 1024;
constexpr unsigned short WAIT_MS = 1000;
constexpr int RESENDS = 3;

}  // namespace

CGetConfig::CGetConfig(const std::string& host, unsigned short port)
    : m_host(host), m_ip(0), m_port(port)
{
}

CGetConfig::~CGetConfig() = default;

void CGetConfig::init()
{
    // A port the kernel picks, not a drawn one that may be taken.
    if (!m_socket.open()) {
        printf("CGetConfig::init():Creating Socket failed\n");
        exit(-1);
    }

    m_ip = get_ip_address(m_host);
    m_socket.set_poll_timeout(WAIT_MS);
}

bool CGetConfig::get_reflector(const std::string& mac, unsigned int& ip, unsigned short& port)
{
    printf("CGetConfig::get_reflector():Entry\n");
    if (m_ip == 0) {
        printf("CGetConfig::get_reflector():ip address of cofnig server could not be resolved\n");
        return false;
    }

    const std::string request = REQUEST_HEAD + mac + REQUEST_TAIL;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(request.data());
    const unsigned short len = static_cast<unsigned short>(request.size());

    const sockaddr_in to = utils::make_address(m_ip, m_port);

    // A failed send is not reported: the server then simply seems silent.
    m_socket.write(data, len, to);
    int resends = 0;
    while (!m_socket.poll() && resends < RESENDS) {
        printf("CGetConfig::get_reflector():request => %s\n", request.c_str());
        m_socket.write(data, len, to);
        ++resends;
    }

    // One spare byte keeps the terminator inside the buffer for a full-size reply.
    char buf[MAX_REPLY + 1];
    int got = -1;
    if (m_socket.poll()) {
        got = m_socket.read(reinterpret_cast<unsigned char*>(buf), MAX_REPLY);
    }
    if (got < 0) {
        printf("CGetConfig::get_reflector():No reply from config server\n");
        return false;
    }
    if (got > MAX_REPLY) {
        got = MAX_REPLY;
    }
    buf[got] = '\0';
    const std::string reply(buf);
    printf("CGetConfig::get_reflector():Response => %s\n", reply.c_str());

    std::string host = "Null";
    std::string::size_type at = reply.find(HOST_KEY);
    if (at != std::string::npos && at > 0) {
        const std::string::size_type comma = reply.find(',', at);
        if (comma != std::string::npos) {
            const std::string::size_type begin = at + strlen(HOST_KEY);
            host = reply.substr(begin, comma - begin);
            ip = get_ip_address(host);
        }
    }

    at = reply.find(PORT_KEY);
    if (at != std::string::npos && at > 0) {
        port = static_cast<unsigned short>(strtol(reply.c_str() + at + strlen(PORT_KEY), nullptr, 10));
    }

    printf("Reflector Host=%s:%d\n", host.c_str(), port);
    printf("CGetConfig::get_reflector():Exit\n");
    return true;
}
