// The shipped runtime unpacked once per user: an entry of the user's cache (support/user_cache.h),
// named by the digest the packer wrote (configuration 10203), which every later start of any launcher
// shipping the same archive uses as it is. An entry is "<runtimes>\<name>" holding the runtime home
// "jre", with its packed libraries already restored, and the manifest "kestro-entry", written last,
// that lists every file of the runtime with its size; a start checks those sizes (not the contents)
// before it trusts an entry, and makes a damaged one again. An entry is made in a directory of its
// own start and moved into place whole, so no start ever sees half of one. A running launcher marks
// the entry it uses, as it marks its extraction directory, so that no clean-up takes it meanwhile.
#pragma once

#include "jreprovision/tar_reader.h"

#include <cstdint>
#include <string>

// Where this launcher's shipped runtime has its entry, into entry (kPathCapacity bytes), when it goes
// through the cache: configuration 10204 set, configuration 10203 a digest, and a cache for this
// user. False otherwise: the runtime is then unpacked for each start, beside the included files.
bool runtimeCacheEntry(char* entry);

// Takes the entry when it is whole: marks it in use for the rest of the process, records the use and
// writes its runtime home to home (kPathCapacity bytes). False, logged, when it is missing or damaged:
// no manifest, a manifest of another archive, a listed file missing or of another size.
bool useCachedRuntime(const char* entry, char* home);

// Has the next start make the entry again, for a runtime in it that would not load: its manifest
// goes (the entry itself stays while this start holds it).
void discardCachedRuntime(const char* entry);

enum class CacheFill {
    Done,           // the entry is there and taken, as with useCachedRuntime
    NotCached,      // it could not be made (no room, say): nothing of it is left behind
    ArchiveCorrupt, // the archive does not unpack whole
};

// Makes the entry from archive (a path the current directory resolves): unpacks it into a directory
// of this start's own, hands that runtime home to restorePacked (may be null) to restore its packed
// libraries, writes the manifest and moves the directory into place. A damaged entry is moved away
// and removed first; one in use stays, and the result is NotCached. Two starts making the same entry
// at once make it once: the second waits (at most three minutes, then it makes its own, and the first
// one in place wins) and takes the first one's. The unpacking's progress goes to progress (may be
// null) with progressContext, paced by expectedTotalSize.
CacheFill fillRuntimeCache(const char* entry, const char* archive, TarProgressSink progress,
                           void* progressContext, int32_t expectedTotalSize,
                           void (*restorePacked)(const char* runtimeHome), char* home);

// Building blocks, free of side effects.

// One line of the manifest per file: "<size> <path relative to the runtime home>".
struct ManifestFile {
    std::string path;
    int64_t size;
};

// The manifest's text: a first line that names the archive's digest, then one line per file.
std::string manifestText(const char* digest, const ManifestFile* files, size_t count);

// Calls visit for each file of text when its first line names digest (in either case) and every line
// reads as a file; false otherwise (then visit may have seen some lines).
bool readManifest(const std::string& text, const char* digest,
                  bool (*visit)(const ManifestFile& file, void* context), void* context);
