// Files and directories left for a later clean-up. The queue lives in the registry under
// HKCU\SOFTWARE\Morvane\kestro\temp\ as two string values, "delete_file" and "delete_dir", each a
// concatenation of "path;" entries. Entries outlive the process; drainDeletionQueue consumes them.
#pragma once

#include <cstddef>

// Remembers a directory this process created, for handing to the queue when the process reports an
// error or ends on its own. Paths starting with "." are ignored.
void registerPendingDirectory(const char* directory);

// Queues every pending directory (again, on every call: the list is never emptied).
void queuePendingDeletions();

// Opens the file (if it exists) without delete sharing and never closes it, so nobody can delete it
// while this process lives; then queues it under "delete_file".
void holdAndQueueFile(const char* path);

// Queues a directory under "delete_dir".
void queueDirectory(const char* directory);

// Appends "path;" to the named value. A value that would exceed 32767 bytes, or a path holding ';',
// is refused: the value is left unchanged and the refusal logged (also when the stored value is
// already longer). Registry failures are silent; a missing or non-string value counts as empty.
void queueForDeletion(const char* path, const char* valueName);

// Deletes the queued files nobody holds open and empties and removes the queued directories;
// entries that still exist afterwards are kept for the next drain. Values are read whole, whatever
// their length. Directory entries starting with "." are dropped without touching the disk.
void drainDeletionQueue();

// Building blocks, free of side effects.

// Appends "path;" to value (capacity bytes including the terminator). Returns false and leaves value
// unchanged when value, path, ";" and the terminator need more than limit bytes (or capacity), or
// when path holds a ';'.
bool appendQueueEntry(char* value, size_t capacity, const char* path, size_t limit);

// Calls visit for each non-empty ';'-separated entry of list, with a terminated copy of it.
void forEachQueueEntry(const char* list, void (*visit)(const char* entry, void* context), void* context);
