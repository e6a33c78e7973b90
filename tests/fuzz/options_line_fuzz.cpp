// An options-file line as the launcher handles it: trimmed, then its tokens replaced in the fixed
// 8192-byte buffer. The buffer's end is never passed and the text stays terminated.
#include "launch/variable_expansion.h"
#include "launch/vm_options.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first bytes up to a zero are a value to insert; the rest is the line as fgets gives it.
    const uint8_t* split = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const std::string value(reinterpret_cast<const char*>(data), split != nullptr ? split - data : 0);
    const size_t lineStart = split != nullptr ? split - data + 1 : 0;
    const size_t lineLength = std::min<size_t>(size - lineStart, kExpansionCapacity - 1);
    std::vector<char> line(kExpansionCapacity, '\0');
    std::memcpy(line.data(), data + lineStart, lineLength);
    if (!trimOptionsLine(line.data()))
        return 0;
    for (const char* token : {"${KESTRO_EXEDIR}", "%KESTRO_TEMPDIR%", "${A}", "$"}) {
        replaceAll(line.data(), line.size(), token, value.c_str());
        if (std::memchr(line.data(), '\0', line.size()) == nullptr)
            std::abort();
    }
    return 0;
}
