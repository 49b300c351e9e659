// Process-wide logger of relaysim: printf-style messages to stdout or the system log.
#include "CLogger.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {
constexpr int DEFAULT_FACILITY = LOG_LOCAL7;
}

CLogger* CLogger::m_logger = nullptr;
char* CLogger::m_ident = nullptr;

CLogger::CLogger() : m_mode_syslog(false), m_facility(DEFAULT_FACILITY) {}

CLogger::~CLogger()
{
    closelog();
}

int CLogger::init(const std::string& path)
{
    char* previous = nullptr;
    if (m_logger == nullptr) {
        m_logger = new (std::nothrow) CLogger();
    } else {
        closelog();
        previous = m_ident;
    }
    if (m_logger == nullptr) {
        printf("Logging service could not be initialized\n");
        exit(-1);
    }

    std::string ident;
    const std::string::size_type slash = path.rfind('/');
    if (slash != std::string::npos)
        ident = path.substr(slash + 1);

    char* buf = new char[ident.size() + 1];
    memcpy(buf, ident.c_str(), ident.size() + 1);
    m_ident = buf;

    // openlog keeps the pointer, so the old buffer may go only after it holds the new one.
    openlog(m_ident, LOG_PID, m_logger->m_facility);
    m_logger->log_msg("Initializing Logging service\n");
    delete[] previous;
    return 0;
}

void CLogger::set_mode_syslog(int facility)
{
    if (static_cast<unsigned int>(facility) > static_cast<unsigned int>(DEFAULT_FACILITY))
        facility = DEFAULT_FACILITY;
    m_mode_syslog = true;
    m_facility = facility;
    closelog();
    openlog(m_ident, LOG_PID, m_logger != nullptr ? m_logger->m_facility : facility);
}

void CLogger::log_msg(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (m_mode_syslog)
        vsyslog(LOG_INFO, fmt, ap);
    else
        vfprintf(stdout, fmt, ap);
    va_end(ap);
}

void CLogger::syslog(int priority, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsyslog(priority, fmt, ap);
    va_end(ap);
}

void CLogger::log_to_file(FILE* stream, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsyslog(stream == stderr ? LOG_ERR : LOG_INFO, fmt, ap);
    va_end(ap);
}
