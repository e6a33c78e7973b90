// The directory the included files are extracted into, as the system's launcher makes, guards and
// removes it (windows/payload/extraction_directory.cpp: a "kqx" temporary name, the deletion queue
// and its in-use mark; linux/payload/extraction_directory.cpp: a private directory of the user's).
// included_files.cpp walks the payload; these are its calls into the system.
#pragma once

// Makes a new, empty directory for this start's included files and writes its full path to
// directory (kPathCapacity bytes). It is marked as in use for as long as the process runs and left
// for a later clean-up; the process ends with message 1009 ("7") when none can be made.
void createExtractionDirectory(char* directory);

// Removes directory with what was extracted into it, after an extraction that failed.
void discardExtractionDirectory(const char* directory);

// Keeps the extracted file at path (name: its name in configuration 2003) from being deleted or
// replaced while the process runs, where the system allows that.
void holdIncludedFile(const char* name, const char* path);

// Lets go of an extracted file (by its name in configuration 2003) so that it can be deleted, as the
// runtime archive is once unpacked. Unknown names are ignored; every hold of the name goes.
void releaseIncludedFile(const char* name);

// Every included file is in directory.
void includedFilesExtracted(const char* directory);
