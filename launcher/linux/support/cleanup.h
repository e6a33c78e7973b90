// What a Linux launcher leaves behind and takes away. Its own directories (the included files, a
// runtime unpacked for one start) go when the process ends, through the one exit path; Linux lets it
// remove what the running program still has open. What a launcher ended by force left behind goes
// with a later start, in the background: only the launcher's own names, only what no running launcher
// has marked in use, and never by following a link.
#pragma once

#include <string>

// Marks directory as in use by this process for as long as the process lives: the file "kqx_in_use"
// inside it, locked (shared, so several launchers may hold one directory). False when the mark cannot
// be made.
bool markDirectoryInUse(const std::string& directory);

// Whether a running launcher holds directory's mark. A directory without a mark file is nobody's.
bool directoryInUse(const std::string& directory);

// Gives up this process's mark on directory (its lock closed).
void releaseDirectory(const std::string& directory);

// Removes path with everything inside it; a link inside is removed itself, never entered. False when
// something stayed.
bool removeTree(const std::string& path);

// Removes directory with everything inside it when the process ends (removeOwnDirectories).
void removeAtExit(const std::string& directory);
void removeOwnDirectories();

// Starts the background clean-up of what ended launchers left: extraction directories and hand-over
// files in the private runtime directory, logs no launcher holds that are a day old, and the cache's
// unused entries (removeUnusedCacheEntries).
void startCleanUp();

// Building blocks, free of side effects.

// "kqx<1 to 8 hex digits>.tmp_dir<1 to 10 digits>": an extraction directory's name.
bool isExtractionDirectoryName(const char* name);

// "qvx_nlog_<hex>_<hex>": a native log's name.
bool isLauncherLogName(const char* name);

// "kqx_p<digits>.tmp": a hand-over file's name, with the process it is for.
bool isHandOverName(const char* name, unsigned long* processId);
