// An output file of a measured run: replaced whole at each write, or appended to row by row.
#include "COutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The path with its folder resolved (symbolic links, "." and ".."), or empty when the folder
// does not exist.
std::string resolved(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    char* real = realpath(folder.c_str(), nullptr);
    if (!real)
        return std::string();
    std::string out = real;
    free(real);
    return out + (out == "/" ? "" : "/") + name;
}

// A new file next to path (same folder, so a rename replaces path in one step).
int open_temp_beside(const std::string& path, std::vector<char>& temp)
{
    const char suffix[] = ".XXXXXX";
    temp.assign(path.begin(), path.end());
    temp.insert(temp.end(), suffix, suffix + sizeof(suffix));
    return mkstemp(temp.data());
}

}  // namespace

COutputFile::COutputFile(const char* option, const std::string& path)
    : m_option(option), m_path(path)
{
}

COutputFile::~COutputFile()
{
    if (m_file)
        fclose(m_file);
}

bool COutputFile::note(bool ok)
{
    if (!ok && !m_failing) {
        const int err = errno;
        fprintf(stderr, "relaysim: %s: can't write %s: %s\n", m_option, m_path.c_str(),
                strerror(err));
        errno = err;
    }
    m_failing = !ok;
    return ok;
}

bool COutputFile::replace(const std::string& text)
{
    return note(write_atomically(m_path, text));
}

bool COutputFile::create(const std::string& text)
{
    if (m_file)
        fclose(m_file);
    m_file = fopen(m_path.c_str(), "w");
    return note(m_file && fputs(text.c_str(), m_file) >= 0 && fflush(m_file) == 0);
}

bool COutputFile::append(const std::string& text)
{
    if (!m_file) {
        errno = EBADF;
        return note(false);
    }
    bool ok = fputs(text.c_str(), m_file) >= 0 && fflush(m_file) == 0;
    struct stat st;
    if (ok && fstat(fileno(m_file), &st) == 0 && st.st_nlink == 0) {
        errno = ENOENT;
        ok = false;
    }
    return note(ok);
}

bool COutputFile::write_atomically(const std::string& path, const std::string& text)
{
    std::vector<char> temp;
    const int fd = open_temp_beside(path, temp);
    if (fd < 0)
        return false;
    // mkstemp makes it private; a collector running as another user must read it.
    bool ok = fchmod(fd, 0644) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temp.data(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(temp.data());
        errno = saved;
    }
    return ok;
}

bool COutputFile::can_write(const std::string& path)
{
    // Outputs are regular files, written whole and renamed into place: a directory, a FIFO
    // or a device at the path would be replaced, or would block the run.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    std::vector<char> temp;
    const int fd = open_temp_beside(path, temp);
    if (fd < 0)
        return false;
    close(fd);
    unlink(temp.data());
    return true;
}

bool COutputFile::same_file(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    const std::string ra = resolved(a);
    return !ra.empty() && ra == resolved(b);
}
