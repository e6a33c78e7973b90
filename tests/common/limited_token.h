// Acting as a user who double-clicks. Wine hands every process a full administrator token with a
// limited one linked to it, as Windows does to a program started with "Run as administrator"; a
// double-click on Windows starts a program with the limited one. The launcher behaves differently
// elevated (its deletion queue stays untouched), so tests that show the ordinary case act with the
// limited token.
#pragma once

#include <windows.h>

namespace kestro::test {

// The limited token linked to this process's elevated one, duplicated as type (TokenPrimary to start
// a process with it, TokenImpersonation for a thread). Null when this process runs without
// elevation (its token is already the user's) or the token cannot be had; the caller closes it.
// Windows hands a program that is not a system service only an identification token for the linked
// one, which can neither start a process nor impersonate; Wine lets it become a primary token, and
// that one becomes an impersonation token like any other.
inline HANDLE limitedToken(TOKEN_TYPE type) {
    HANDLE process = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &process))
        return nullptr;
    TOKEN_ELEVATION elevation = {};
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    HANDLE duplicate = nullptr;
    if (GetTokenInformation(process, TokenElevation, &elevation, sizeof elevation, &size) &&
        elevation.TokenIsElevated != 0 &&
        GetTokenInformation(process, TokenLinkedToken, &linked, sizeof linked, &size)) {
        HANDLE primary = nullptr;
        if (DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation,
                             TokenPrimary, &primary)) {
            if (type == TokenPrimary)
                duplicate = primary;
            else if (!DuplicateTokenEx(primary, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, type,
                                       &duplicate))
                duplicate = nullptr;
            if (duplicate != primary)
                CloseHandle(primary);
        }
        CloseHandle(linked.LinkedToken);
    }
    CloseHandle(process);
    return duplicate;
}

// The calling thread acts with the limited token while the object lives.
class ActingWithoutElevation {
  public:
    ActingWithoutElevation() : token_(limitedToken(TokenImpersonation)) {
        if (token_ != nullptr)
            SetThreadToken(nullptr, token_);
    }
    ~ActingWithoutElevation() {
        if (token_ != nullptr) {
            RevertToSelf();
            CloseHandle(token_);
        }
    }
    ActingWithoutElevation(const ActingWithoutElevation&) = delete;
    ActingWithoutElevation& operator=(const ActingWithoutElevation&) = delete;

  private:
    HANDLE token_;
};

} // namespace kestro::test
