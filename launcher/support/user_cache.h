// The per-user cache that outlives a start: "%LOCALAPPDATA%\Kestro", with a room for unpacked runtimes
// ("runtimes", one directory per runtime archive) and one for the runtimes' class-data archives
// ("class-data", one file per program and runtime). Every launcher of the user shares it. What no
// start has used for kUnusedCacheDays is removed by the background clean-up of the temporary files
// (removeUnusedCacheEntries), never while a running launcher uses it.
#pragma once

#include <cstdint>
#include <string>

// An entry unused this long goes with the next clean-up.
constexpr int kUnusedCacheDays = 30;

// The rooms of the cache.
constexpr const char* kRuntimeRoom = "runtimes";
constexpr const char* kClassDataRoom = "class-data";

// A runtime entry's file that lists its runtime's files and sizes; written last, it makes the entry
// whole.
constexpr const char* kRuntimeManifest = "kestro-entry";
// The entry's runtime home inside it.
constexpr const char* kRuntimeHome = "jre";

// "<cache>\<room>" into out (kPathCapacity bytes), created when missing. The cache is
// %LOCALAPPDATA%\Kestro (the variable, else the shell's folder of local application data) in a form
// the 8-bit file functions open (its short form when its name has characters outside the ANSI code
// page). False when there is no such form or the directory cannot be made: a shared fallback such as
// c:\temp would let another user plant a runtime there, so such a user gets no cache at all.
bool userCacheRoom(const char* room, char* out);

// Sets the last-write time of the file or directory at path to now: the mark of its last use.
void recordCacheUse(const char* path);

// Removes from the cache what no start has used for kUnusedCacheDays: runtime entries that no running
// launcher has marked in use, and class-data archives nobody has open; also what a start that was
// ended while making a runtime entry left behind. Never follows a link and never leaves the cache's
// rooms. Stops early when stop() turns true. Each removal is logged.
void removeUnusedCacheEntries(bool (*stop)());

// Building blocks, free of side effects.

// "<20 hex digits>", the name of a runtime entry for the archive digest (64 hex digits, either case):
// its first 20 digits in lower case. Empty for anything that is no digest.
std::string runtimeEntryName(const char* digest);

// What a name in the runtime room is: an entry, a directory being made ("<entry>.new<n>"), one being
// removed ("<entry>.old<n>"), or nothing of the cache's (then left alone).
enum class RuntimeRoomName { Entry, BeingMade, BeingRemoved, Foreign };
RuntimeRoomName classifyRuntimeRoomName(const char* name);

// "<32 hex digits>.jsa" or "<32 hex digits>.aot", and the ".aot.config" the runtime writes beside
// the latter while it makes it: a class-data archive of the cache.
bool isClassDataArchiveName(const char* name);

// Whether a last use at lastUse (a FILETIME as 64 bits) is more than days before now.
bool unusedFor(uint64_t lastUse, uint64_t now, int days);
