#include "launch/arguments.h"

#include "payload/payload_format.h"
#include "support/errors.h"

#include <windows.h>

namespace {

std::wstring toWide(const char* text) {
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 1)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], units);
    wide.resize(static_cast<size_t>(units - 1));
    return wide;
}

std::string toNarrow(const std::wstring& text, UINT codePage, const char* replacement) {
    if (text.empty())
        return std::string();
    int bytes = WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                    replacement, nullptr);
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], bytes,
                        replacement, nullptr);
    return narrow;
}

} // namespace

void splitArguments(const wchar_t* text, WideArguments& list) {
    if (!trySplitArguments(text, list))
        fatalMessage(kestro::payload::config::MessageWrongParameters, nullptr);
}

// Back to the ANSI code page the text came from, so every character of it round-trips.
void splitArgumentsNarrow(const char* text, NarrowArguments& list) {
    WideArguments wide;
    splitArguments(toWide(text).c_str(), wide);
    for (const std::wstring& argument : wide)
        list.push_back(toNarrow(argument, CP_ACP, nullptr));
}

std::string argumentForLog(const std::wstring& argument) {
    return toNarrow(argument, AreFileApisANSI() ? CP_ACP : CP_OEMCP, "?");
}
