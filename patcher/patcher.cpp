// lumatra_fw_update_patcher: runs the device's firmware-update hook when the given firmware version is an affected one.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <unordered_set>
#include <vector>

// The test build points both paths into a scratch folder; the device build keeps the fixed ones.
#ifndef PATCHER_SCRIPT_PATH
#define PATCHER_SCRIPT_PATH "/quorvel/hooks/application/firmware-update"
#endif
#ifndef PATCHER_LIST_FILE_PATH
#define PATCHER_LIST_FILE_PATH "/mnt/data/package/patches/affected_versions.txt"
#endif

namespace {

const std::string SCRIPT_PATH = PATCHER_SCRIPT_PATH;
const std::string LIST_FILE_PATH = PATCHER_LIST_FILE_PATH;
const std::vector<std::string> HARDCODED_LIST = {"2.3.2", "2.3.3"};

void log(const std::string& level, const std::string& message)
{
    std::cout << "[" << level << "] " << message << std::endl;
}

bool isValidString(const std::string& s)
{
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

bool loadListFile(const std::string& path, std::unordered_set<std::string>& set)
{
    std::ifstream in(path);
    if (!in.is_open()) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        set.insert(line);
    }
    return true;
}

std::unordered_set<std::string> buildMatchSet()
{
    std::unordered_set<std::string> set;
    if (loadListFile(LIST_FILE_PATH, set)) {
        log("INFO", "Loaded match list from file: " + LIST_FILE_PATH + " (" + std::to_string(set.size()) +
                        " entries)");
        return set;
    }
    log("WARN", "Could not read list file '" + LIST_FILE_PATH + "' \xE2\x80\x93 falling back to hardcoded list.");
    for (const std::string& version : HARDCODED_LIST) {
        set.insert(version);
    }
    log("INFO", "Hardcoded list loaded (" + std::to_string(set.size()) + " entries)");
    return set;
}

// Relays the hook's output cut as fgets would cut it: a piece ends after a line feed or at 511 bytes.
class PieceRelay {
public:
    char* space() { return m_buffer + m_used; }
    std::size_t room() const { return PIECE_MAX - m_used; }

    void added(std::size_t count)
    {
        m_used += count;
        for (;;) {
            const void* lineFeed = std::memchr(m_buffer, '\n', m_used);
            if (lineFeed != nullptr) {
                const std::size_t length = static_cast<const char*>(lineFeed) - m_buffer + 1;
                emit(length);
                std::memmove(m_buffer, m_buffer + length, m_used - length);
                m_used -= length;
            } else if (m_used == PIECE_MAX) {
                emit(PIECE_MAX);
                m_used = 0;
            } else {
                return;
            }
        }
    }

    void finish()
    {
        if (m_used > 0) {
            emit(m_used);
            m_used = 0;
        }
    }

private:
    static constexpr std::size_t PIECE_MAX = 511;

    void emit(std::size_t length)
    {
        std::string piece(m_buffer, strnlen(m_buffer, length));
        if (!piece.empty() && piece.back() == '\n') {
            piece.pop_back();
        }
        std::cout << "[SCRIPT] " << piece << std::endl;
    }

    char m_buffer[PIECE_MAX + 1] = {};
    std::size_t m_used = 0;
};

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

void onChildSignal(int)
{
    // Nothing to do: arriving is enough to interrupt ppoll.
}

// While the hook runs, the patcher takes SIGCHLD for itself, whatever its parent left: ignored, the kernel
// would reap the shell and lose its status; blocked, the shell's end would go unseen while a background
// child keeps the output open. The signal stays blocked except inside ppoll, so it can arrive only there.
// The hook is given back the disposition and mask the patcher inherited.
class ChildSignalGuard {
public:
    ChildSignalGuard()
    {
        sigset_t child;
        sigemptyset(&child);
        sigaddset(&child, SIGCHLD);
        sigprocmask(SIG_BLOCK, &child, &m_inheritedMask);
        struct sigaction action = {};
        action.sa_handler = onChildSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_NOCLDSTOP;
        sigaction(SIGCHLD, &action, &m_inheritedAction);
        m_waitMask = m_inheritedMask;
        sigdelset(&m_waitMask, SIGCHLD);
    }

    ~ChildSignalGuard()
    {
        sigaction(SIGCHLD, &m_inheritedAction, nullptr);
        sigprocmask(SIG_SETMASK, &m_inheritedMask, nullptr);
    }

    ChildSignalGuard(const ChildSignalGuard&) = delete;
    ChildSignalGuard& operator=(const ChildSignalGuard&) = delete;

    // The mask for ppoll: the inherited one with SIGCHLD let through.
    const sigset_t* waitMask() const { return &m_waitMask; }

    // In the started child, before exec: async-signal-safe calls only. SIGPIPE goes to its default,
    // not to what the patcher inherited: the patcher ignores it for itself, and the hook must not.
    void restoreInChild() const
    {
        struct sigaction pipeDefault = {};
        pipeDefault.sa_handler = SIG_DFL;
        sigemptyset(&pipeDefault.sa_mask);
        sigaction(SIGPIPE, &pipeDefault, nullptr);
        sigaction(SIGCHLD, &m_inheritedAction, nullptr);
        sigprocmask(SIG_SETMASK, &m_inheritedMask, nullptr);
    }

private:
    struct sigaction m_inheritedAction = {};
    sigset_t m_inheritedMask;
    sigset_t m_waitMask;
};

bool openPipe(Descriptor& readEnd, Descriptor& writeEnd, int& error)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = errno;
        return false;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

// The started child's side, from vfork to exec: async-signal-safe system calls only, nothing that
// writes the memory it still shares with the patcher except errno.
[[noreturn]] void execShell(char* const argv[], int output, const ChildSignalGuard& signals, int failureFd)
{
    signals.restoreInChild();
    // dup2 onto itself would leave close-on-exec set.
    const bool ready = output == STDOUT_FILENO ? fcntl(STDOUT_FILENO, F_SETFD, 0) == 0
                                               : dup2(output, STDOUT_FILENO) == STDOUT_FILENO;
    if (ready) {
        execv("/bin/sh", argv);
    }
    const int failure = errno;
    if (write(failureFd, &failure, sizeof failure) < 0) {
        // Nothing left to tell it with.
    }
    _exit(127);
}

// Starts "/bin/sh -c command" writing into `output`, as popen does, with the signal dispositions and mask
// of `signals`. Not posix_spawn: only code in the child can give it back an ignored SIGCHLD that the
// patcher itself no longer ignores. vfork rather than fork: glibc's fork does bookkeeping of its own in
// the child, which the ARM build's test emulator does not survive. A failed exec is reported through
// a pipe that a successful one closes.
pid_t startShell(const std::string& command, const Descriptor& output, const ChildSignalGuard& signals, int& error)
{
    Descriptor failureRead;
    Descriptor failureWrite;
    if (!openPipe(failureRead, failureWrite, error)) {
        return -1;
    }
    char shell[] = "sh";
    char option[] = "-c";
    char* const argv[] = {shell, option, const_cast<char*>(command.c_str()), nullptr};
    const pid_t pid = vfork();
    if (pid == 0) {
        execShell(argv, output.get(), signals, failureWrite.get());
    }
    if (pid < 0) {
        error = errno;
        return -1;
    }
    failureWrite.reset();
    int failure = 0;
    ssize_t count;
    do {
        count = read(failureRead.get(), &failure, sizeof failure);
    } while (count < 0 && errno == EINTR);
    if (count != static_cast<ssize_t>(sizeof failure)) {
        return pid;
    }
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    error = failure;
    return -1;
}

// Reads at most `limit` bytes into the relay; false at the pipe's end or on a read error.
bool relayReadable(int fd, PieceRelay& relay, std::size_t limit)
{
    while (limit > 0) {
        const ssize_t count = read(fd, relay.space(), std::min(relay.room(), limit));
        if (count > 0) {
            relay.added(static_cast<std::size_t>(count));
            limit -= static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            return count < 0 && errno == EAGAIN;
        }
    }
    return true;
}

int runScript(const std::string& path, const std::string& word)
{
    log("INFO", "Executing script: " + path + " '" + word + "'");
    const std::string command = path + " '" + word + "'";

    Descriptor output;
    Descriptor shellOutput;
    int error = 0;
    if (!openPipe(output, shellOutput, error)) {
        log("ERROR", std::string("popen failed: ") + std::strerror(error));
        return -1;
    }
    const ChildSignalGuard signals;
    const pid_t pid = startShell(command, shellOutput, signals, error);
    if (pid < 0) {
        log("ERROR", std::string("popen failed: ") + std::strerror(error));
        return -1;
    }
    shellOutput.reset();
    fcntl(output.get(), F_SETFL, fcntl(output.get(), F_GETFL) | O_NONBLOCK);

    PieceRelay relay;
    int status = 0;
    pid_t ended = 0;
    struct pollfd readable = {output.get(), POLLIN, 0};
    for (;;) {
        // Asked on every pass, not only after SIGCHLD: a background child that writes without pause
        // keeps ppoll returning data and the signal pending.
        ended = waitpid(pid, &status, WNOHANG);
        if (ended != 0) {
            error = errno;
            // The shell is gone: relay what it left, not what a background child may add for ever.
            int pending = 0;
            if (ioctl(output.get(), FIONREAD, &pending) == 0 && pending > 0) {
                relayReadable(output.get(), relay, static_cast<std::size_t>(pending));
            }
            break;
        }
        if (ppoll(&readable, 1, nullptr, signals.waitMask()) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (!relayReadable(output.get(), relay, PIPE_BUF)) {
            break;
        }
    }
    output.reset();
    relay.finish();

    while (ended == 0) {
        ended = waitpid(pid, &status, 0);
        error = errno;
        if (ended < 0 && error == EINTR) {
            ended = 0;
        }
    }
    if (ended < 0) {
        log("ERROR", std::string("pclose failed: ") + std::strerror(error));
        return -1;
    }
    // A shell or script ended by a signal leaves no exit byte; report it the way shells do
    // rather than as a clean exit.
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return (status >> 8) & 0xFF;
}

} // namespace

int main(int argc, char** argv)
{
    // A reader that goes away (`| head -1`) must not end the patcher half way through the hook:
    // what can no longer be written is dropped and the hook runs to its end.
    signal(SIGPIPE, SIG_IGN);
    try {
        if (argc != 2) {
            log("ERROR", "Expected exactly 1 argument, got " + std::to_string(argc - 1) + ".");
            log("ERROR", "Usage: lumatra_fw_update_patcher <string>");
            return 1;
        }

        const std::string version(argv[1]);
        if (!isValidString(version)) {
            log("ERROR", "Argument is not a valid string (empty or contains control characters).");
            return 1;
        }
        log("INFO", "Input accepted: '" + version + "'");

        const std::unordered_set<std::string> matchSet = buildMatchSet();
        if (matchSet.find(version) == matchSet.end()) {
            log("INFO", "No match found for '" + version + "'. Nothing to patch.");
            return 0;
        }
        log("INFO", "Match found for '" + version + "'. Proceeding with patch.");

        const int code = runScript(SCRIPT_PATH, "start");
        if (code == 0) {
            log("INFO", "Script completed successfully.");
            return 0;
        }
        log("ERROR", "Script exited with code " + std::to_string(code) + ".");
        return 1;
    } catch (const std::exception& e) {
        // Building the message may itself run out of memory; the status must still be 1.
        try {
            log("ERROR", std::string("Unhandled exception: ") + e.what());
        } catch (...) {
        }
        return 1;
    } catch (...) {
        try {
            log("ERROR", "Unknown fatal error.");
        } catch (...) {
        }
        return 1;
    }
}
