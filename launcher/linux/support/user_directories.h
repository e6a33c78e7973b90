// The directories of the user's own that the Linux launcher writes into: the cache that outlives a
// start (logs, unpacked runtimes, class-data archives) and the private runtime directory of a start's
// included files, instance locks and hand-overs. Each is the user's alone: no other user may write
// into it, or they could plant what a launcher runs.
#pragma once

#include <string>

// "<XDG_CACHE_HOME, else ~/.cache>/kestro", made when missing. False when there is no such directory
// of the user's own.
bool kestroCacheDirectory(std::string* out);

// "$XDG_RUNTIME_DIR/kestro", else "<TMPDIR, else /tmp>/kestro-<uid>", made when missing. False when
// there is no such directory of the user's own.
bool privateRuntimeDirectory(std::string* out);

// Makes path (mode 0700) when missing; true when it is then a directory, not a link, that this user
// owns and nobody else may write into.
bool ownPrivateDirectory(const std::string& path);

// "<cache>/<name>" made as ownPrivateDirectory does.
bool cacheRoom(const char* name, std::string* out);
