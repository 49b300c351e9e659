// Shared helpers for relaysim's unit tests: elapsed time, the bounded wait, thread states, captured
// output, a recording handler, list files.
#pragma once

#include "CLogger.h"
#include "ISocketHandler.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

using Clock = std::chrono::steady_clock;

inline long elapsed_ms(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Polls every millisecond, so a test sees a change soon after it happens; false after ms.
template <typename Pred>
bool eventually(Pred pred, long ms = 10000)
{
    const auto start = Clock::now();
    while (!pred()) {
        if (elapsed_ms(start) > ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline bool thread_sleeping(pid_t tid)
{
    // Blocked in the kernel (state S) inside a futex wait (system call 202), twice
    // in a row: the wait has begun, not just some step on the way to it.
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    for (int check = 0; check < 2; ++check) {
        if (check > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::ifstream stat(task + "/stat");
        std::string s((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const auto p = s.rfind(") ");
        if (p == std::string::npos || p + 2 >= s.size() || s[p + 2] != 'S')
            return false;
        std::ifstream sys(task + "/syscall");
        long nr = -1;
        if (!(sys >> nr) || nr != 202)
            return false;
    }
    return true;
}

// The code under test logs through CLogger, which must exist before its first line.
inline void start_logger(const char* ident)
{
    if (CLogger::m_logger == nullptr)
        CLogger::init(ident);
}

// For suites whose code under test logs.
class LoggedTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { start_logger("relaysim_test"); }
};

// What the code under test prints to standard output (or error) from construction until
// text(). Ends with the scope too, so a failed assertion leaves no capture behind for the
// next one.
class Capture {
public:
    enum Stream { STDOUT, STDERR };

    explicit Capture(Stream stream = STDOUT) : m_stream(stream)
    {
        if (m_stream == STDOUT)
            ::testing::internal::CaptureStdout();
        else
            ::testing::internal::CaptureStderr();
    }
    ~Capture()
    {
        if (!m_done)
            text();
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::string text()
    {
        m_done = true;
        return m_stream == STDOUT ? ::testing::internal::GetCapturedStdout() : ::testing::internal::GetCapturedStderr();
    }

private:
    Stream m_stream;
    bool m_done = false;
};

// A handler that keeps every datagram it is given, for any thread to read back.
class Recorder : public ISocketHandler {
public:
    struct Datagram {
        std::vector<unsigned char> bytes;
        unsigned short from_port;  // host order
    };

    void on_raw_data(const sockaddr_in& from, unsigned char* data, unsigned short len) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_got.push_back({std::vector<unsigned char>(data, data + len), ntohs(from.sin_port)});
        m_count.fetch_add(1);
    }
    std::vector<Datagram> got()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_got;
    }
    int count() const { return m_count.load(); }

private:
    std::mutex m_lock;
    std::vector<Datagram> m_got;
    std::atomic<int> m_count{0};
};

// A MAC list file with the given text, removed again with the object.
class ListFile {
public:
    explicit ListFile(const std::string& text)
    {
        char name[] = "/tmp/maclistXXXXXX";
        int fd = mkstemp(name);
        close(fd);
        m_path = name;
        std::ofstream(m_path, std::ios::binary) << text;
    }
    ~ListFile() { remove(m_path.c_str()); }
    ListFile(const ListFile&) = delete;
    ListFile& operator=(const ListFile&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

}  // namespace test_support
