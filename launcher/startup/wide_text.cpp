#include "startup/wide_text.h"

#include "payload/payload_store.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

using SetDlgItemTextWFunction = BOOL(WINAPI*)(HWND, int, LPCWSTR);
using SetWindowTextWFunction = BOOL(WINAPI*)(HWND, LPCWSTR);

// Written by whichever thread calls first; two first calls at once store the same answers.
volatile bool lookedUp = false;
SetDlgItemTextWFunction wideItemSetter = nullptr;
SetWindowTextWFunction wideWindowSetter = nullptr;

void* entry(HMODULE module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(module, name));
}

void lookUpWideSetters() {
    if (lookedUp)
        return;
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    // Windows 9x has the wide names in user32 too, as stubs that do nothing: only the NT family's count.
    if (GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        // user32 is among the launcher's imports, so this finds the loaded copy and loads nothing.
        HMODULE user32 = GetModuleHandleA("user32.dll");
        if (user32 != nullptr) {
            wideItemSetter = reinterpret_cast<SetDlgItemTextWFunction>(entry(user32, "SetDlgItemTextW"));
            wideWindowSetter = reinterpret_cast<SetWindowTextWFunction>(entry(user32, "SetWindowTextW"));
        }
    }
    lookedUp = true;
}

// The 8-bit form of text in the C runtime's locale into out (capacity bytes, always terminated):
// characters the locale cannot represent are left out, and a text that does not fit is cut.
void narrowText(const wchar_t* text, char* out, size_t capacity) {
    if (capacity == 0)
        return;
    // Character by character: wcstombs gives up on the first character the locale lacks and leaves
    // the buffer unterminated when the text fills it.
    size_t length = 0;
    for (; *text != L'\0'; ++text) {
        char bytes[MB_LEN_MAX];
        const int count = wctomb(bytes, *text);
        if (count <= 0)
            continue;
        if (length + static_cast<size_t>(count) >= capacity)
            break;
        memcpy(out + length, bytes, static_cast<size_t>(count));
        length += static_cast<size_t>(count);
    }
    out[length] = '\0';
}

} // namespace

void setWindowTextWide(HWND window, const wchar_t* text) {
    lookUpWideSetters();
    if (wideWindowSetter != nullptr) {
        wideWindowSetter(window, text);
        return;
    }
    char narrow[kTextCapacity];
    narrowText(text, narrow, sizeof narrow);
    SetWindowTextA(window, narrow);
}

BOOL setItemTextWide(HWND dialog, int id, const wchar_t* text) {
    lookUpWideSetters();
    if (wideItemSetter != nullptr)
        return wideItemSetter(dialog, id, text);
    char narrow[kTextCapacity];
    narrowText(text, narrow, sizeof narrow);
    return SetDlgItemTextA(dialog, id, narrow);
}

void forceNarrowTextSetters(bool narrow) {
    wideItemSetter = nullptr;
    wideWindowSetter = nullptr;
    lookedUp = narrow;
}
