// Fuzzes the key=value text helpers: utils::get_value and utils::trim.
#include "utils.h"

#include "fuzz_support.h"

#include <cstring>

// Input: the key, a zero byte, then the text (no zero byte: the whole input is the text, key "").
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);
    const void* zero = memchr(bytes, 0, size);
    const size_t key_len = zero ? static_cast<const char*>(zero) - bytes : 0;
    const std::string key(bytes, key_len);
    const std::string text = zero ? std::string(bytes + key_len + 1, size - key_len - 1)
                                  : std::string(bytes, size);

    std::string value = "\x01unchanged";
    utils::get_value(text, key, value);
    const size_t at = text.find(key + "=");
    if (at == std::string::npos) {
        if (value != "\x01unchanged")
            abort();
    } else if (text.compare(at + key.size() + 1, value.size(), value) != 0 ||
               value.find(',') != std::string::npos) {
        abort();
    }

    std::string trimmed = text;
    utils::trim(trimmed);
    if (!trimmed.empty()) {
        const char first = trimmed.front();
        const char last = trimmed.back();
        if (first == ' ' || first == '\t' || last == ' ' || last == '\t' ||
            text.find(trimmed) == std::string::npos)
            abort();
    } else if (text.find_first_not_of(" \t") != std::string::npos) {
        abort();
    }
    return 0;
}
