#include "support/ansi_text.h"

#include <windows.h>

#include <climits>
#include <cwchar>

namespace {

// A character without a form of its own in the code page becomes "?", never a look-alike (best fit
// would show the Greek tau as "t"). Systems before Windows 2000 know no such flag and refuse it: there
// the system's own conversion does.
int convert(const wchar_t* text, int units, char* out, int room) {
    const int bytes =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, units, out, room, nullptr, nullptr);
    if (bytes == 0 && GetLastError() == ERROR_INVALID_FLAGS)
        return WideCharToMultiByte(CP_ACP, 0, text, units, out, room, nullptr, nullptr);
    return bytes;
}

} // namespace

size_t ansiText(const wchar_t* text, size_t length, char* out, size_t capacity) {
    if (capacity == 0)
        return 0;
    out[0] = '\0';
    // Every unit gives at least one byte, so more than capacity - 1 units cannot fit.
    const int room = static_cast<int>(capacity - 1 < INT_MAX ? capacity - 1 : INT_MAX);
    int units = static_cast<int>(length < static_cast<size_t>(room) ? length : static_cast<size_t>(room));
    for (;;) {
        // A pair is never split: half of it would turn into a stray "?".
        if (units > 0 && IS_HIGH_SURROGATE(text[units - 1]) && static_cast<size_t>(units) < length)
            --units;
        if (units <= 0)
            return 0;
        const int bytes = convert(text, units, nullptr, 0);
        if (bytes <= room)
            break;
        // Each dropped unit takes at least one byte with it.
        units -= bytes - room;
    }
    const int bytes = convert(text, units, out, room);
    const size_t written = bytes > 0 ? static_cast<size_t>(bytes) : 0;
    out[written] = '\0';
    return written;
}

size_t ansiText(const wchar_t* text, char* out, size_t capacity) {
    return ansiText(text, wcslen(text), out, capacity);
}

std::wstring wideFromAnsi(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(length > 0 ? static_cast<size_t>(length) : 0, L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}
