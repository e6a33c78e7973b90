#include "support/text_conversion.h"

#include "launch/arguments.h"

#include <windows.h>

namespace {

std::wstring wideFromCodePage(const char* text, UINT codePage) {
    const int units = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (units <= 1)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(codePage, 0, text, -1, &wide[0], units);
    wide.resize(static_cast<size_t>(units - 1));
    return wide;
}

std::string narrowInCodePage(const std::wstring& text, UINT codePage, const char* replacement) {
    if (text.empty())
        return std::string();
    const int bytes = WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                          0, replacement, nullptr);
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], bytes,
                        replacement, nullptr);
    return narrow;
}

UINT fileApiCodePage() {
    return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

} // namespace

std::wstring wideFromNarrow(const char* text) {
    return wideFromCodePage(text, CP_ACP);
}

std::string narrowFromWide(const std::wstring& text) {
    return narrowInCodePage(text, CP_ACP, nullptr);
}

std::wstring widePath(const char* path) {
    return wideFromCodePage(path, fileApiCodePage());
}

std::string argumentForLog(const std::wstring& argument) {
    return narrowInCodePage(argument, fileApiCodePage(), "?");
}
