// lumatra_fw_update_patcher: runs the device's firmware-update hook when the given firmware version is an affected one.
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
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

int runScript(const std::string& path, const std::string& word)
{
    log("INFO", "Executing script: " + path + " '" + word + "'");
    const std::string command = path + " '" + word + "'";

    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        const int err = errno;
        log("ERROR", std::string("popen failed: ") + std::strerror(err));
        return -1;
    }

    char buffer[512] = {};
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        std::string piece(buffer);
        if (!piece.empty() && piece.back() == '\n') {
            piece.pop_back();
        }
        std::cout << "[SCRIPT] " << piece << std::endl;
    }

    const int status = pclose(pipe);
    if (status == -1) {
        const int err = errno;
        log("ERROR", std::string("pclose failed: ") + std::strerror(err));
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
