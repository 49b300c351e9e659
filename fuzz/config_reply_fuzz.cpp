// Fuzzes the configuration-server reply as it arrives: one datagram read and parsed by CGetConfig.
#include "CGetConfig.h"

#include "CLogger.h"
#include "utils.h"
#include "fuzz_support.h"

#include <sys/socket.h>

#include <cstring>
#include <thread>

namespace {

int g_server = -1;       // the configuration server's socket
sockaddr_in g_lookup;    // where the lookup's own socket receives
CGetConfig* g_cfg = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    CLogger::init("config_reply_fuzz");

    g_server = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = utils::make_address(INADDR_LOOPBACK, 0);
    socklen_t len = sizeof(addr);
    if (g_server < 0 || bind(g_server, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(g_server, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        abort();

    g_cfg = new CGetConfig("127.0.0.1", ntohs(addr.sin_port));
    g_cfg->init();

    // The lookup binds a random port: learn it from one answered request.
    std::thread answer([] {
        char buf[256];
        socklen_t from_len = sizeof(g_lookup);
        if (recvfrom(g_server, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&g_lookup),
                     &from_len) < 0 ||
            sendto(g_server, "x", 1, 0, reinterpret_cast<sockaddr*>(&g_lookup), from_len) != 1)
            abort();
    });
    unsigned int ip = 0;
    unsigned short port = 0;
    const bool found = g_cfg->get_reflector("000000000000", ip, port);
    answer.join();
    if (!found)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 65507)
        return 0;
    // Queued before the call, the datagram is taken as the call's reply.
    if (sendto(g_server, data, size, 0, reinterpret_cast<sockaddr*>(&g_lookup),
               sizeof(g_lookup)) != static_cast<ssize_t>(size))
        abort();
    unsigned int ip = 0;
    unsigned short port = 0;
    g_cfg->get_reflector("001122334455", ip, port);

    char request[256];
    while (recv(g_server, request, sizeof(request), MSG_DONTWAIT) >= 0) {
    }
    return 0;
}
