// Fuzzes the command line: random words, with the list files they name read as "-d" and "-e" would.
#include "options.h"

#include "devices.h"
#include "fuzz_support.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {
std::string g_scratch;

void remove_scratch()
{
    unlink((g_scratch + "/list.txt").c_str());
    rmdir(g_scratch.c_str());
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    // Words name files relative to a scratch folder holding one list file.
    char dir[] = "/tmp/command_line_fuzz.XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0)
        abort();
    g_scratch = dir;
    atexit(remove_scratch);
    std::ofstream("list.txt") << "001122334455\n0a0b0c0d0e0f\n\nffffffffffff\n";
    return 0;
}

// Input: the words after the program name, each ended by a zero byte.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> words = {"relaysim"};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            // Keep every file name inside the scratch folder (no /dev/zero and the like).
            word.push_back(data[i] == '/' ? '_' : static_cast<char>(data[i]));
        }
    }
    if (!word.empty())
        words.push_back(word);

    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);

    options opt;
    parse_command_line(static_cast<int>(words.size()), argv.data(), opt);
    return 0;
}
