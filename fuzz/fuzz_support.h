// Shared by the fuzz harnesses: a resolver that never leaves the process, quiet output, scratch files.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Fuzzed host names must not reach DNS: only dotted addresses resolve, as they
// do without a resolver; this definition takes the place of the C library's.
extern "C" hostent* gethostbyname(const char* name)
{
    static in_addr addr;
    static char* list[2] = {reinterpret_cast<char*>(&addr), nullptr};
    static char* no_aliases[1] = {nullptr};
    static hostent he;
    if (name == nullptr || inet_aton(name, &addr) == 0) {
        h_errno = HOST_NOT_FOUND;
        return nullptr;
    }
    he.h_name = const_cast<char*>(name);
    he.h_aliases = no_aliases;
    he.h_addrtype = AF_INET;
    he.h_length = sizeof(addr);
    he.h_addr_list = list;
    return &he;
}

namespace fuzz {

// The code under test prints on every call; libFuzzer reports on stderr.
inline void quiet_stdout()
{
    fflush(stdout);
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 1) < 0)
        abort();
    close(null);
}

// An in-memory file reachable by path, rewritten for each input.
class ScratchFile {
public:
    ScratchFile() : m_fd(memfd_create("fuzz-input", 0))
    {
        if (m_fd < 0)
            abort();
        m_path = "/proc/self/fd/" + std::to_string(m_fd);
    }
    ~ScratchFile() { close(m_fd); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& write(const uint8_t* data, size_t size)
    {
        if (ftruncate(m_fd, 0) != 0 ||
            (size > 0 && pwrite(m_fd, data, size, 0) != static_cast<ssize_t>(size)))
            abort();
        return m_path;
    }

private:
    int m_fd;
    std::string m_path;
};

}  // namespace fuzz
