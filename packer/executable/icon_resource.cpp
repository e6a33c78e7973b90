// Icon files turned into the icon resources Windows loads: one RT_ICON per image, and a group that
// lists them under the same descriptions the .ico file gives.
#include "executable/pe_resources.h"

#include "binary/little_endian.h"

#include <set>

namespace kestro::packer {
namespace {

constexpr size_t kIconHeader = 6;
constexpr size_t kIconFileEntry = 16;
constexpr size_t kGroupEntry = 14;

using binary::get16;
using binary::get32;

// The icon numbers a group's entries name.
std::set<uint16_t> iconsOfGroup(const std::string& group) {
    std::set<uint16_t> ids;
    if (group.size() < kIconHeader)
        return ids;
    const size_t count = get16(group, 4);
    for (size_t i = 0; i < count && kIconHeader + (i + 1) * kGroupEntry <= group.size(); ++i)
        ids.insert(get16(group, kIconHeader + i * kGroupEntry + 12));
    return ids;
}

} // namespace

void mergeResources(ResourceTree* tree, ResourceTree changes) {
    for (auto& [type, names] : changes) {
        for (auto& [name, languages] : names)
            (*tree)[type][name] = std::move(languages);
    }
}

bool setIconGroup(ResourceTree* tree, uint16_t groupId, const std::string& ico, std::string* error) {
    if (ico.size() < kIconHeader || get16(ico, 0) != 0 || get16(ico, 2) != 1) {
        *error = "not an icon file (.ico)";
        return false;
    }
    const size_t count = get16(ico, 4);
    if (count == 0 || ico.size() < kIconHeader + count * kIconFileEntry) {
        *error = "the icon file lists no images, or more than it holds";
        return false;
    }
    uint16_t language = kUsEnglish;
    ResourceNames& groups = (*tree)[resource_type::GroupIcon];
    ResourceNames& icons = (*tree)[resource_type::Icon];
    const auto old = groups.find(groupId);
    if (old != groups.end() && !old->second.empty()) {
        if (!old->first.isName())
            language = old->second.begin()->first.id;
        for (const auto& entry : old->second) {
            for (uint16_t id : iconsOfGroup(entry.second.bytes))
                icons.erase(id);
        }
    }
    std::string group = ico.substr(0, kIconHeader);
    uint16_t next = 1;
    for (size_t i = 0; i < count; ++i) {
        const size_t entry = kIconHeader + i * kIconFileEntry;
        const uint32_t size = get32(ico, entry + 8);
        const uint32_t offset = get32(ico, entry + 12);
        if (size == 0 || offset > ico.size() || ico.size() - offset < size) {
            *error = "image " + std::to_string(i + 1) + " lies outside the icon file";
            return false;
        }
        while (icons.count(next) != 0)
            ++next;
        if (next == 0) {
            *error = "no free icon numbers are left";
            return false;
        }
        icons[next][language].bytes = ico.substr(offset, size);
        // The group entry is the file's entry with the image's number in place of its offset.
        group += ico.substr(entry, 12);
        group += static_cast<char>(next & 0xff);
        group += static_cast<char>(next >> 8);
    }
    groups[groupId].clear();
    groups[groupId][language].bytes = group;
    return true;
}

} // namespace kestro::packer
