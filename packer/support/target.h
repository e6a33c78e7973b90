// The launchers the packer writes: a Windows executable for x64 or x86, or a Linux executable for
// x86-64. The same project file serves each; what only one system has is left out for the other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestro::packer {

enum class TargetSystem { Windows, Linux };

struct Target {
    const char* name; // as --target takes it: "windows-x64"
    TargetSystem system;
    uint16_t machine; // the stub's: a PE machine for Windows, an ELF machine for Linux
};

// The target of name, or null for a name no stub exists for.
const Target* findTarget(const std::string& name);

// The names --target accepts, in the order help lists them.
std::vector<std::string> targetNames();

// The target a launcher of system and machine was packed for; null when none is.
const Target* targetOf(TargetSystem system, uint16_t machine);

} // namespace kestro::packer
