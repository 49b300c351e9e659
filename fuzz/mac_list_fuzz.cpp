// Fuzzes the device-list reader: a list file's lines together with the count and start it is read with.
#include "devices.h"

#include "fuzz_support.h"

#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    return 0;
}

// Input: four bytes of count, two of start, then the file as it stands on disk.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::ScratchFile file;
    if (size < 6)
        return 0;
    int32_t count;
    uint16_t start;
    memcpy(&count, data, sizeof(count));
    memcpy(&start, data + 4, sizeof(start));

    std::vector<unsigned long> list = {1, 2, 3};
    read_mac_list(file.write(data + 6, size - 6), list, count, start);

    // A count of 0 still takes the first line's address; a negative one never limits.
    const size_t wanted = count >= 0 ? static_cast<size_t>(count) : SIZE_MAX;
    if (list.size() > (wanted > 0 ? wanted : 1))
        abort();
    for (unsigned long address : list) {
        if (address == 0)
            abort();
    }
    return 0;
}
