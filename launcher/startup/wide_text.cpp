#include "startup/wide_text.h"

#include "payload/payload_store.h"
#include "support/ansi_text.h"

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

} // namespace

void setWindowTextWide(HWND window, const wchar_t* text) {
    lookUpWideSetters();
    if (wideWindowSetter != nullptr) {
        wideWindowSetter(window, text);
        return;
    }
    char narrow[kTextCapacity];
    ansiText(text, narrow, sizeof narrow);
    SetWindowTextA(window, narrow);
}

BOOL setItemTextWide(HWND dialog, int id, const wchar_t* text) {
    lookUpWideSetters();
    if (wideItemSetter != nullptr)
        return wideItemSetter(dialog, id, text);
    char narrow[kTextCapacity];
    ansiText(text, narrow, sizeof narrow);
    return SetDlgItemTextA(dialog, id, narrow);
}

void forceNarrowTextSetters(bool narrow) {
    wideItemSetter = nullptr;
    wideWindowSetter = nullptr;
    lookedUp = narrow;
}

void setItemToMessage(HWND dialog, int id, int messageId) {
    wchar_t text[kTextCapacity];
    getMessage(messageId, text);
    setItemTextWide(dialog, id, text);
}

void setWindowToMessage(HWND window, int messageId) {
    wchar_t text[kTextCapacity];
    getMessage(messageId, text);
    setWindowTextWide(window, text);
}
