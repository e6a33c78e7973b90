#include "support/environment.h"

#include <windows.h>

#include <cstdlib>

std::wstring environmentVariable(const wchar_t* name) {
    // Asked again with the size the system names until the value fits.
    std::wstring value(256, L'\0');
    for (;;) {
        const DWORD length = GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size()));
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length);
    }
}

void setPathVariable(const std::wstring& value) {
    SetEnvironmentVariableW(L"PATH", value.c_str());
    // _wputenv sets the process environment too, and renews the C runtime's 8-bit copy from it.
    _wputenv((L"PATH=" + value).c_str());
}
