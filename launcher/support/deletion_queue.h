// Files and directories left for a later clean-up. The queue lives in the registry under
// HKCU\SOFTWARE\Morvane\kestro\temp\ as two string values, "delete_file" and "delete_dir", each a
// concatenation of "path;" entries. Entries outlive the process; drainDeletionQueue consumes them.
// Every launcher drains the queue once, in the background, at start-up (startTemporaryFileCleanUp),
// so what a finished run left in TMP goes with the next start.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Remembers a directory this process created, for handing to the queue when the process reports an
// error or ends on its own. Paths starting with "." are ignored.
void registerPendingDirectory(const char* directory);

// Queues every pending directory (again, on every call: the list is never emptied).
void queuePendingDeletions();

// Opens the file (if it exists) without delete sharing and never closes it, so nobody can delete it
// while this process lives; then queues it under "delete_file".
void holdAndQueueFile(const char* path);

// Marks directory as in use by this process for as long as the process lives (the file
// "kqx_in_use" inside it, held open without sharing for writing or deletion): a drain leaves a
// marked directory whole, held files or not. A mark another process made is held as well. Returns
// false when the mark cannot be made.
bool markDirectoryInUse(const char* directory);

// Whether a running launcher holds directory's mark (markDirectoryInUse). A directory without a mark
// is nobody's.
bool directoryInUse(const char* directory);

// "...\kqx<hex>.tmp_dir<decimal>" (or that name alone), the name of a launcher's extraction
// directory, in any letter case: the only directories a launcher queues and a drain removes.
bool isExtractionDirectoryName(const char* directory);

// Gives up this process's mark on directory, so that it can be removed at once. Does nothing for a
// directory this process has not marked.
void releaseDirectory(const char* directory);

// Removes directory with everything inside it (links inside are removed, never entered).
void removeDirectoryTree(const char* directory);

// Queues a directory under "delete_dir".
void queueDirectory(const char* directory);

// Appends "path;" to the named value. A relative path, a value that would exceed 32767 bytes, or a
// path holding ';' is refused: the value is left unchanged and the refusal logged (also when the
// stored value is already longer). Registry failures are silent; a missing or non-string value
// counts as empty. Other processes' updates are serialised with this one through a named mutex.
void queueForDeletion(const char* path, const char* valueName);

// Deletes the queued native logs nobody holds open and removes, with everything inside them, the
// queued extraction directories no running launcher has marked; entries that still exist
// afterwards are kept for the next drain. Any program of the user may write the queue, so only
// what a launcher queues is touched (isLauncherEntry): every other entry, and any that is a link
// (a junction, a symbolic link), is dropped without touching the disk; a link inside a directory is
// removed itself, never entered. An elevated process (runsElevated) leaves the queue as it is.
// Values are read whole, whatever their length; entries queued meanwhile by other processes are
// kept. When another process is draining, returns at once.
void drainDeletionQueue();

// Holds and queues the native log, then drains the queue on a thread of low priority, which then
// also removes what the user's cache holds unused (removeUnusedCacheEntries).
void startTemporaryFileCleanUp();

// Lets the drain finish the entry it is working on and waits for it (at most 10 s): for the end of
// the process, which must not cut it off inside a registry update.
void stopTemporaryFileCleanUp();

// Building blocks, free of side effects.

// Appends "path;" to value (capacity bytes including the terminator). Returns false and leaves value
// unchanged when value, path, ";" and the terminator need more than limit bytes (or capacity), or
// when path holds a ';'.
bool appendQueueEntry(char* value, size_t capacity, const char* path, size_t limit);

// Calls visit for each non-empty ';'-separated entry of list, with a terminated copy of it.
void forEachQueueEntry(const char* list, void (*visit)(const char* entry, void* context), void* context);

// "qvx_nlog_<hex>_<hex>": a native log's name, in either case.
bool isLauncherLogName(const char* name);

// Whether entry names what a launcher queues: with directory, an extraction directory, else a
// native log, right inside one of temporaryDirectories (compared in their long forms, without
// regard to case or a trailing backslash), and written as the system writes a full path (no "." or
// ".." step, no forward or doubled slash, no trailing dot or blank). Looks at names only.
bool isLauncherEntry(const char* entry, bool directory, const std::vector<std::string>& temporaryDirectories);

// The entries of current, as "entry;" each, less one occurrence of each entry of taken: what others
// added to a value since it was read as taken.
std::string entriesAddedSince(const char* taken, const char* current);
