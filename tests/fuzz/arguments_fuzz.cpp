// The argument splitter on arbitrary 16-bit texts and on 8-bit texts as the ANSI path widens them:
// it ends, drops only blanks and quotes, and each argument is a piece of the text.
#include "launch/arguments.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void split(const std::wstring& text) {
    WideArguments list;
    trySplitArguments(text.c_str(), list);
    size_t total = 0;
    for (const std::wstring& argument : list) {
        total += argument.size();
        if (argument.find(L'\0') != std::wstring::npos)
            std::abort();
    }
    if (total > text.size())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // First byte picks the width; a text ends at its first zero unit, as the launcher's texts do.
    if (size == 0)
        return 0;
    std::wstring text;
    if (data[0] & 1) {
        for (size_t i = 1; i + 1 < size; i += 2)
            text += static_cast<wchar_t>(data[i] | data[i + 1] << 8);
    } else {
        for (size_t i = 1; i < size; ++i)
            text += static_cast<wchar_t>(data[i]);
    }
    split(text.substr(0, text.find(L'\0')));
    return 0;
}
