// The host side of the Win32 stand-in: an in-memory file system for the calls windows.h declares,
// and stand-ins for the launcher's support functions that the payload readers call. Ends of the
// process (fatalError, fatalMessage) are thrown as ProcessEnded so that a target can go on with
// its next input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace win32_memory {

struct ProcessEnded {
    std::string message;
};

// "C:\app\launcher.exe", what executablePath() answers.
extern const char* const kExecutable;

// Forgets every file, directory and handle; then only "C:", "C:\app" and "C:\tmp" exist. Writes
// may store limit bytes in all (0: no limit) before WriteFile fails as on a full disk.
void reset(size_t writeLimit = 0);

void putFile(const std::string& path, const std::string& data);
const std::map<std::string, std::string>& files();
const std::set<std::string>& directories();
// Handles opened and not yet closed.
size_t openHandles();

} // namespace win32_memory
