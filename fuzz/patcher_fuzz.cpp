// Fuzzes the patcher's outside input: the match-list file and the version argument check.
#define main patcher_main
#include "patcher.cpp"
#undef main

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::ScratchFile file;
    const std::string text(reinterpret_cast<const char*>(data), size);

    const bool valid = isValidString(text);
    bool control = text.empty();
    for (unsigned char c : text)
        control = control || c < 0x20 || c == 0x7F;
    if (valid == control)
        abort();

    std::unordered_set<std::string> set;
    if (!loadListFile(file.write(data, size), set))
        abort();
    for (const std::string& entry : set) {
        if (entry.empty() || entry[0] == '#' || entry.find('\n') != std::string::npos)
            abort();
    }
    return 0;
}
