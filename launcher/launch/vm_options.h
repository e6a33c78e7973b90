// The VM's option list: the launcher's properties, configuration 123, "-J" arguments (with
// configuration 125), the options file beside the executable, and last the class path option.
#pragma once

#include "launch/arguments.h"
#include "launch/launch_composition.h"

#include <cstddef>
#include <cstdio>
#include <vector>

// Size of the class path option, "-Djava.class.path=" included.
constexpr size_t kClassPathCapacity = 32768;

// The options file: "<executable less .exe>.vmoptions", else "<executable>.vmoptions", opened in
// text mode. Null when neither opens.
FILE* openVmOptionsFile();

// One line of the options file, changed in place: trailing CR and LF removed, then leading and
// trailing blanks (0x20 only; tabs are kept). False when the line then adds no option: it is empty or
// a comment (starts with "#").
bool trimOptionsLine(char* line);

// Reads the options file's lines through an 8192-byte buffer (a longer line comes in pieces of 8191
// bytes, each a line of its own); each kept line is copied to a text of its own length. A line loses its
// trailing CR and LF, then its leading and trailing blanks (not tabs); empty lines and lines starting with
// "#" are dropped. Kept lines are expanded and appended to lines.
void readVmOptionsFile(FILE* file, std::vector<char*>& lines);

// The text being built for the class path option: bounded by kClassPathCapacity.
class ClassPathText {
  public:
    ClassPathText();
    // Appends text whole, or not at all when it would not fit; an entry left out is logged as an
    // error line. Returns whether it went in.
    bool append(const char* text);
    bool endsWith(char c) const;
    char* text() const { return text_; }

  private:
    char* text_; // kept for the life of the process: the VM gets it as an option
    size_t length_ = 0;
};

// Appends "<directory>\<name>;" made absolute for each file with that extension, in the order the
// file system lists them. False, with nothing appended, when the directory does not exist.
bool appendArchivesInDirectory(ClassPathText& classPath, const char* directory, const char* extension);

// Appends the typed entries of configuration 121 (A, D, S, E). A required entry not found ends the
// process with message 1006 (its expanded value), a required variable that does not exist with 1008.
void appendConfiguredClassPath(ClassPathText& classPath);

// The whole list in its fixed order, the class path option last, logged as "vmoption" lines. The
// options of class-data sharing (class_data_sharing.h) follow the launcher's properties.
// launcherProperties is null-terminated (may be null). Ends the process on the messages above.
VmOptionList buildVmArguments(const char* const* launcherProperties, const WideArguments& arguments);
