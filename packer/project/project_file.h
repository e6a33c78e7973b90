// Reading a project file (TOML) into a PackRequest. The keys, their types and defaults are those of
// project_keys.h; docs/project-file.md describes them for users.
#pragma once

#include "commands/pack.h"

#include <string>

namespace kestro::packer {

// Reads the project file at path. Relative source paths of included files are taken from the project
// file's directory. Returns false and sets error to "FILE:LINE:COLUMN: what is wrong" (or "FILE: ..."
// where no line applies) on a syntax error, an unknown key or table, a wrong type, a value out of range,
// a character code page 1252 cannot hold, a bad included-file name or a missing included file.
bool loadProjectFile(const std::string& path, PackRequest* request, std::string* error);

// As loadProjectFile, for project text already in memory; sourceName is used in messages.
bool parseProjectText(const std::string& text, const std::string& sourceName,
                      const std::string& baseDirectory, PackRequest* request, std::string* error);

} // namespace kestro::packer
