// The resources of a PE32 or PE32+ image: reading its resource section into a tree, and writing a
// changed tree back so that the image still loads and the payload still follows its last section.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace kestro::packer {

// Resource types the packer writes.
namespace resource_type {
constexpr uint16_t Bitmap = 2;
constexpr uint16_t Icon = 3;
constexpr uint16_t GroupIcon = 14;
constexpr uint16_t Version = 16;
constexpr uint16_t Manifest = 24;
} // namespace resource_type

// The language the packer gives the resources it adds.
constexpr uint16_t kUsEnglish = 1033;

// A type, name or language: a number, or (when name is not empty) a UTF-16 name.
struct ResourceKey {
    uint16_t id = 0;
    std::u16string name;

    ResourceKey() = default;
    ResourceKey(uint16_t number) : id(number) {} // NOLINT: numbers are the common case
    explicit ResourceKey(std::u16string text) : name(std::move(text)) {}
    bool isName() const { return !name.empty(); }
};

// The order Windows searches a resource directory in: names first (ordinal order, case folded for
// ASCII, as the loader compares them), then numbers ascending.
struct ResourceKeyOrder {
    bool operator()(const ResourceKey& a, const ResourceKey& b) const;
};

struct ResourceData {
    std::string bytes;
    uint32_t codePage = 0;
};

using ResourceLanguages = std::map<ResourceKey, ResourceData, ResourceKeyOrder>;
using ResourceNames = std::map<ResourceKey, ResourceLanguages, ResourceKeyOrder>;
using ResourceTree = std::map<ResourceKey, ResourceNames, ResourceKeyOrder>;

// Reads the resource tree of image (headers and sections, no payload needed). An image without a
// resource directory gives an empty tree. Refuses, with a message naming the fault, an image that is
// not PE32/PE32+ or a tree that loops, is deeper than type/name/language, or points outside its section.
bool readResources(const std::string& image, ResourceTree* tree, std::string* error);

// Replaces the resource section of image with one holding tree. The image must end with its last
// section's raw data (the payload comes after). The new section takes the old one's place; sections
// after it, which may only be base relocations, move behind it. Without a resource section, a new one
// is added last when the headers have room for its entry. Updates the resource and relocation
// directories, SizeOfImage and SizeOfInitializedData; removes a certificate directory, since any
// signature is dropped with the overlay. The checksum is left to the writer of the whole file.
// Returns false with image unchanged on failure.
bool writeResources(std::string* image, const ResourceTree& tree, std::string* error);

// Puts every type and name of changes into tree, replacing all languages tree had for that name.
void mergeResources(ResourceTree* tree, ResourceTree changes);

// Makes the icon file ico (the .ico format: one or more images) the icon group groupId of tree: the
// icons the old group used are removed, the new images get the lowest free icon numbers, and the group
// keeps the old group's language (US English for a new group). Returns false and says why when ico is
// not a well-formed icon file.
bool setIconGroup(ResourceTree* tree, uint16_t groupId, const std::string& ico, std::string* error);

} // namespace kestro::packer
