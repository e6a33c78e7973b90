// The environment pass of the launcher's variable expansion, on an arbitrary environment block and
// text. The text stays terminated within its capacity and nothing past it is touched; a text that
// holds no brace reference comes back unchanged; and an expansion that fitted comes out the same in
// a larger buffer, so that no value is cut or dropped because of where the buffer ends.
#include "launch/variable_expansion.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

constexpr char kGuard = '\x5a';

} // namespace

// The first byte picks the capacity; then the block, up to and with its first two zero bytes in a
// row; the rest is the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const size_t capacity = std::min<size_t>(kExpansionCapacity, 8 + static_cast<size_t>(data[0]) * 32);
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t blockEnd = rest.find(std::string(2, '\0'));
    if (blockEnd == std::string::npos)
        return 0;
    const std::string block = rest.substr(0, blockEnd + 2);
    std::string text = rest.substr(blockEnd + 2);
    text = text.substr(0, std::min({std::strlen(text.c_str()), text.size(), capacity - 1}));

    std::vector<char> buffer(capacity + 64, kGuard);
    std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
    const bool complete = expandEnvironmentTokens(buffer.data(), capacity, block.data());
    check(std::memchr(buffer.data(), '\0', capacity) != nullptr);
    check(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(capacity), buffer.end(),
                      [](char c) { return c == kGuard; }));
    if (text.find("${") == std::string::npos)
        check(complete && text == buffer.data());

    std::vector<char> larger(kExpansionCapacity * 2, '\0');
    std::memcpy(larger.data(), text.c_str(), text.size() + 1);
    check(expandEnvironmentTokens(larger.data(), larger.size(), block.data()) || !complete);
    if (complete)
        check(std::strcmp(larger.data(), buffer.data()) == 0);
    return 0;
}
