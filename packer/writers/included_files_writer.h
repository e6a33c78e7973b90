// Writing the included files into a launcher's payload: the part of packing that moves most bytes.
#pragma once

#include "commands/pack.h"
#include "executable/pe_checksum.h"

#include <string>
#include <vector>

namespace kestro::packer {

// Writes each file as the payload stores it, its size and then its scrambled bytes, to out from its
// current position, and adds every byte written to checksum. Files of any size stream through a few
// fixed buffers. Returns false with the reason in error, or with error empty and errno set when
// writing to out failed.
bool writeIncludedFiles(int out, const std::vector<IncludedFile>& files, PeChecksum* checksum,
                        std::string* error);

} // namespace kestro::packer
