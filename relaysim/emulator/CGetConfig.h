// Client of the configuration server: asks which reflector and audio port serve a device.
#pragma once

#include "CUdpSocket.h"

#include <string>

class CGetConfig {
public:
    CGetConfig(const std::string& host, unsigned short port);
    ~CGetConfig();

    CGetConfig(const CGetConfig&) = delete;
    CGetConfig& operator=(const CGetConfig&) = delete;

    void init();
    bool get_reflector(const std::string& mac, unsigned int& ip, unsigned short& port);

private:
    std::string m_host;
    CUdpSocket m_socket;
    unsigned int m_ip;
    unsigned short m_port;
};
