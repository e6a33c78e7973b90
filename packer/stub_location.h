// Where `kestro pack` finds the launcher stub when no --stub is given.
#pragma once

#include <string>

namespace kestro::packer {

// The stub installed beside the packer: <directory of the running kestro>/../share/kestro/stubs/
// windows-x64.exe, found through /proc/self/exe. Returns false and sets error when the packer's own
// path cannot be read.
bool defaultStubPath(std::string* path, std::string* error);

} // namespace kestro::packer
