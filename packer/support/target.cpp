#include "support/target.h"

#include "elf/elf_image.h"
#include "pe/pe_image.h"

namespace kestro::packer {
namespace {

constexpr Target kTargets[] = {
    {"windows-x64", TargetSystem::Windows, pe::kMachineX64},
    {"windows-x86", TargetSystem::Windows, pe::kMachineX86},
    {"linux-x64", TargetSystem::Linux, elf::kMachineX86_64},
};

} // namespace

const Target* findTarget(const std::string& name) {
    for (const Target& target : kTargets) {
        if (name == target.name)
            return &target;
    }
    return nullptr;
}

std::vector<std::string> targetNames() {
    std::vector<std::string> names;
    for (const Target& target : kTargets)
        names.emplace_back(target.name);
    return names;
}

const Target* targetOf(TargetSystem system, uint16_t machine) {
    for (const Target& target : kTargets) {
        if (target.system == system && target.machine == machine)
            return &target;
    }
    return nullptr;
}

} // namespace kestro::packer
