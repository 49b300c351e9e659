// Process-wide logger of relaysim: printf-style messages to stdout or the system log.
#pragma once

#include <cstdio>
#include <string>

// Usage: CLogger::init(argv[0]) once at start-up, before any other thread exists;
// then CLogger::m_logger->log_msg("fmt", ...) from any thread.
class CLogger {
public:
    CLogger();
    ~CLogger();

    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    static int init(const std::string& path);

    void set_mode_syslog(int facility);
    void log_msg(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void syslog(int priority, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void log_to_file(FILE* stream, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    bool m_mode_syslog;
    int m_facility;

    static CLogger* m_logger;
    static char* m_ident;
};
