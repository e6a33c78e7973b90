#include "support/process_rights.h"

#include "support/log.h"

#include <windows.h>

namespace {

// A token handle closed with its scope.
class Token {
  public:
    Token() = default;
    ~Token() {
        if (handle_ != nullptr)
            CloseHandle(handle_);
    }
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;
    HANDLE* out() { return &handle_; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_ = nullptr;
};

} // namespace

bool runsElevated() {
    Token token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.out()) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) {
        logError("Could not open the process token (error code %lu)", GetLastError());
        return true;
    }
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    // A token class that systems before Vista do not know: they have no elevation.
    return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

bool enablePrivilege(const char* name) {
    Token token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.out())) {
        logError("Could not open the process token to enable %s (error code %lu)", name, GetLastError());
        return false;
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid)) {
        logError("Could not look up %s (error code %lu)", name, GetLastError());
        return false;
    }
    // Succeeds also when the token lacks the privilege; only the last error tells.
    const BOOL adjusted = AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
    const DWORD error = GetLastError();
    if (!adjusted || error != ERROR_SUCCESS) {
        logError("Could not enable %s (error code %lu)", name, error);
        return false;
    }
    logLine("%s enabled", name);
    return true;
}
