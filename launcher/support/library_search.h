// Where the process looks for the libraries it loads by name, and for the libraries a loaded
// library needs. Windows looks in the executable's folder first and in the current directory too:
// a launcher run from a Downloads folder would load whatever library was downloaded next to it. The
// process searches the system directory and the directories it adds itself (a runtime's bin, the
// project's PATH prefix) instead.
#pragma once

#include <windows.h>

// Restricts the search for the rest of the process to the system directory and the directories
// added through LibraryDirectory; call before anything loads a library by name. Where the system
// lacks SetDefaultDllDirectories (Windows before 8 without update KB2533623), only the current
// directory leaves the search (SetDllDirectoryW, Windows XP SP1 on) and the executable's folder
// stays first; the log says so.
void restrictLibrarySearch();

// Loads the library name (such as "wininet.dll") from the system directory, and what it needs from
// there first. Null on failure, with the system's error in GetLastError.
HMODULE loadSystemLibrary(const char* name);

// Loads the library at path (a full path), and what it needs from its own folder, the directories
// added through LibraryDirectory and the system directory: never from the executable's folder or the
// current directory where restrictLibrarySearch could restrict the search. Null on failure.
HMODULE loadLibraryWithItsNeeds(const char* path);

// Adds directory (8-bit path) to the restricted search for the rest of the process. Does nothing
// where restrictLibrarySearch could not restrict the search, which then takes PATH still.
void searchForLibrariesIn(const char* directory);

// A directory (8-bit path) whose libraries the libraries loaded meanwhile may need, searched from
// construction until destruction unless kept. After restrictLibrarySearch it joins the restricted
// search (AddDllDirectory); otherwise it takes the place of the current directory in the classic
// search (SetDllDirectoryW, one directory at a time).
class LibraryDirectory {
  public:
    explicit LibraryDirectory(const char* directory);
    ~LibraryDirectory();
    LibraryDirectory(const LibraryDirectory&) = delete;
    LibraryDirectory& operator=(const LibraryDirectory&) = delete;

    // Stays in the search for the rest of the process.
    void keep() { kept_ = true; }

  private:
    void* cookie_ = nullptr;
    bool replacesCurrentDirectory_ = false;
    bool kept_ = false;
};
