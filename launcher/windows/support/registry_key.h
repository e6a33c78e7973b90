// A registry key that is closed when it goes out of scope.
#pragma once

#include <windows.h>

class RegistryKey {
  public:
    RegistryKey() = default;
    ~RegistryKey() {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens root\name with the given access; false when it cannot be opened.
    bool open(HKEY root, const char* name, REGSAM access = KEY_READ) {
        return RegOpenKeyExA(root, name, 0, access, &key_) == ERROR_SUCCESS;
    }

    // Creates root\name, or opens it when it exists, with full access; false when neither works.
    bool create(HKEY root, const char* name) {
        return RegCreateKeyExA(root, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                               &key_, nullptr) == ERROR_SUCCESS;
    }

    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};
