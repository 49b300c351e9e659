// Device address lists of the emulator: built-in tables, list files, diagnostic addresses.
#include "devices.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

// One vendor prefix per kind, so no address is both a decoder and an encoder.
constexpr unsigned long DECODER_BASE = 0x6C4A85000000UL + 0x100000UL;
constexpr unsigned long ENCODER_BASE = 0x6C4A86000000UL + 0x200000UL;

std::vector<unsigned long> table(unsigned long base)
{
    std::vector<unsigned long> t;
    t.reserve(BUILTIN_DEVICES);
    for (unsigned long i = 1; i <= BUILTIN_DEVICES; ++i)
        t.push_back(base + i * 0x10 + (i % 7));
    return t;
}

}  // namespace

std::vector<unsigned long> builtin_decoders() { return table(DECODER_BASE); }
std::vector<unsigned long> builtin_encoders() { return table(ENCODER_BASE); }

unsigned long diag_mac_list = 0x0000FFFF00000000UL;

void read_mac_list(const std::string& path, std::vector<unsigned long>& list, int count,
                   unsigned short start_at)
{
    std::ifstream in(path);
    if (!in) {
        printf("error opening mac address list file - %s", path.c_str());
        return;
    }
    list.clear();
    unsigned short line_no = 0;
    std::string line;
    // A negative count, taken as a size, never ends reading early.
    const size_t wanted = static_cast<size_t>(static_cast<long>(count));
    while (std::getline(in, line)) {
        ++line_no;
        if (line_no >= start_at && !line.empty()) {
            unsigned long value = strtoull(line.c_str(), nullptr, 16);
            if (value != 0)
                list.push_back(value);
        }
        if (list.size() >= wanted)
            break;
    }
}

void combine_project_id(unsigned short project_id)
{
    diag_mac_list ^= project_id;
}

std::vector<unsigned long> take_decoders(const std::vector<unsigned long>& list, int count)
{
    std::vector<unsigned long> taken;
    const size_t wanted = static_cast<size_t>(static_cast<long>(count));
    for (unsigned long address : list) {
        taken.push_back(address);
        if (taken.size() >= wanted)
            break;
    }
    return taken;
}

std::vector<unsigned long> take_diag_decoders(int count, int start)
{
    std::vector<unsigned long> taken;
    for (int j = 0; j < count; ++j) {
        unsigned long seq = (static_cast<unsigned long>(start) + j + 1) & 0xFFFFUL;
        diag_mac_list = (diag_mac_list & ~0xFFFF0000UL) | (seq << 16);
        taken.push_back(diag_mac_list);
    }
    return taken;
}

std::vector<unsigned long> take_encoders(const std::vector<unsigned long>& list, int count)
{
    std::vector<unsigned long> taken;
    for (unsigned long address : list) {
        taken.push_back(address);
        if (static_cast<int>(taken.size()) >= count)
            break;
    }
    return taken;
}
