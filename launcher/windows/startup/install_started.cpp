#include "startup/install_started.h"

#include "support/registry_key.h"

namespace {
constexpr char kLauncherKey[] = "SOFTWARE\\Morvane\\kestro\\";
constexpr char kInstallStarted[] = "InstallStarted";
} // namespace

bool isInstallStarted() {
    RegistryKey key;
    if (!key.open(HKEY_CURRENT_USER, kLauncherKey))
        return false;
    DWORD value = 0;
    DWORD size = sizeof value;
    const LONG result = RegQueryValueExA(key.get(), kInstallStarted, nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(&value), &size);
    return result == ERROR_SUCCESS && size == sizeof value && value != 0;
}

void setInstallStarted(bool started) {
    RegistryKey key;
    if (!key.create(HKEY_CURRENT_USER, kLauncherKey))
        return;
    const DWORD value = started ? 1 : 0;
    RegSetValueExA(key.get(), kInstallStarted, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof value);
}
