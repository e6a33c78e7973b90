// Reading a project file (TOML) into a PackRequest. The keys, their types and defaults are those of
// project_keys.h; docs/project-file.md describes them for users.
#pragma once

#include "commands/pack.h"

#include <string>
#include <vector>

namespace kestro::packer {

// A value the build gives on the command line (`--set KEY=VALUE`) in place of the project file's:
// key is dotted ("version.file_version", "files"); value is the text of a key that takes a string,
// else the TOML value it spells ("true", "5", '["build/libs/*.jar"]').
struct ProjectValue {
    std::string key;
    std::string value;
};

// Reads the project file at path (a pipe too), with values set over it, and every ${env:NAME} in its
// texts replaced by the environment variable NAME. Relative source paths of included files are taken
// from the project file's directory. Returns false and sets error to "FILE:LINE:COLUMN: what is wrong"
// (or "FILE: ..." where no line applies, "FILE (--set): ..." for a value set) on a file that cannot be
// read (with the system's reason), a syntax error, an unknown key or table, a wrong type, a value out of
// range, an unset environment variable, a character code page 1252 cannot hold, a bad included-file
// name or a missing included file. Warnings that do not stop the pack go to request->warnings.
bool loadProjectFile(const std::string& path, PackRequest* request, std::string* error,
                     const std::vector<ProjectValue>& values = {});

// As loadProjectFile, for project text already in memory; sourceName is used in messages.
bool parseProjectText(const std::string& text, const std::string& sourceName,
                      const std::string& baseDirectory, PackRequest* request, std::string* error,
                      const std::vector<ProjectValue>& values = {});

} // namespace kestro::packer
