#include "executable/pe_resources.h"

#include "binary/little_endian.h"
#include "pe/pe_image.h"

#include <cstring>
#include <set>
#include <vector>

namespace kestro::packer {
namespace {

using binary::get16;
using binary::get32;
using binary::put16;
using binary::put32;
using pe::kCertificateDirectory;
using pe::kRelocationDirectory;
using pe::kResourceDirectory;
using pe::kSectionHeaderSize;
using pe::Section;

constexpr uint32_t kInitializedData = 0x40;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;
// Type, name, language: the loader looks no deeper.
constexpr int kTreeDepth = 3;

uint32_t alignUp(uint32_t v, uint32_t alignment) {
    return (v + alignment - 1) / alignment * alignment;
}

// The headers of an image whose resources can be read and rewritten: a PE32 or PE32+ optional header
// with sound alignments, and every section's data inside the file.
bool readLayout(const std::string& image, pe::Headers* headers, std::string* error) {
    const auto fail = [&](const std::string& why) {
        *error = "not a PE image: " + why;
        return false;
    };
    std::string why;
    if (!pe::readHeaders(image, headers, &why))
        return fail(why);
    if (headers->magic == 0)
        return fail("unknown optional header");
    const auto powerOfTwo = [](uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
    if (!powerOfTwo(headers->fileAlignment) || !powerOfTwo(headers->sectionAlignment) ||
        headers->fileAlignment > headers->sectionAlignment)
        return fail("bad alignment");
    for (const Section& s : headers->sections) {
        if (s.rawSize != 0 && (s.rawOffset > image.size() || image.size() - s.rawOffset < s.rawSize))
            return fail("section " + s.name + " lies beyond the file");
    }
    return true;
}

// Reads one resource section; offsets in the tree are relative to its start.
class TreeReader {
  public:
    TreeReader(const std::string& section, uint32_t sectionRva) : data_(section), rva_(sectionRva) {}

    bool readDirectory(uint32_t offset, int depth, ResourceTree* tree, ResourceNames* names,
                       ResourceLanguages* languages, std::string* error) {
        if (!visited_.insert(offset).second)
            return fail("a directory is reached twice (a loop)", error);
        if (!fits(offset, 16))
            return fail("a directory lies outside the section", error);
        const uint32_t count = uint32_t{get16(data_, offset + 12)} + get16(data_, offset + 14);
        if (!fits(offset + 16, size_t{count} * 8))
            return fail("a directory's entries run past the section", error);
        for (uint32_t i = 0; i < count; ++i) {
            const size_t entry = offset + 16 + size_t{i} * 8;
            ResourceKey key;
            if (!readKey(get32(data_, entry), &key, error))
                return false;
            const uint32_t target = get32(data_, entry + 4);
            const bool subdirectory = (target & kSubdirectoryBit) != 0;
            if (depth < kTreeDepth && !subdirectory)
                return fail("data where a directory belongs", error);
            if (depth == kTreeDepth) {
                if (subdirectory)
                    return fail("more than three levels (type, name, language)", error);
                if (!readData(target, &(*languages)[key], error))
                    return false;
                continue;
            }
            const uint32_t child = target & ~kSubdirectoryBit;
            const bool read = depth == 1 ? readDirectory(child, 2, nullptr, &(*tree)[key], nullptr, error)
                                         : readDirectory(child, 3, nullptr, nullptr, &(*names)[key], error);
            if (!read)
                return false;
        }
        return true;
    }

  private:
    bool fits(size_t offset, size_t size) const {
        return offset <= data_.size() && data_.size() - offset >= size;
    }

    static bool fail(const std::string& why, std::string* error) {
        *error = "the resource section is damaged: " + why;
        return false;
    }

    bool readKey(uint32_t field, ResourceKey* key, std::string* error) {
        if ((field & kSubdirectoryBit) == 0) {
            if (field > 0xffff)
                return fail("an entry's number is out of range", error);
            key->id = static_cast<uint16_t>(field);
            return true;
        }
        const uint32_t at = field & ~kSubdirectoryBit;
        if (!fits(at, 2) || !fits(at + 2, size_t{get16(data_, at)} * 2))
            return fail("an entry's name lies outside the section", error);
        const uint16_t length = get16(data_, at);
        if (length == 0)
            return fail("an entry has an empty name", error);
        for (uint16_t i = 0; i < length; ++i)
            key->name.push_back(static_cast<char16_t>(get16(data_, at + 2 + size_t{i} * 2)));
        return true;
    }

    bool readData(uint32_t offset, ResourceData* out, std::string* error) {
        if (!fits(offset, 16))
            return fail("a data entry lies outside the section", error);
        const uint32_t rva = get32(data_, offset);
        const uint32_t size = get32(data_, offset + 4);
        if (rva < rva_ || !fits(rva - rva_, size))
            return fail("a resource's data lies outside the section", error);
        out->bytes = data_.substr(rva - rva_, size);
        out->codePage = get32(data_, offset + 8);
        return true;
    }

    const std::string& data_;
    uint32_t rva_;
    std::set<uint32_t> visited_;
};

const Section* sectionHolding(const pe::Headers& headers, uint32_t rva) {
    for (const Section& s : headers.sections) {
        if (rva >= s.virtualAddress && rva - s.virtualAddress < std::max(s.virtualSize, s.rawSize))
            return &s;
    }
    return nullptr;
}

// Lays a tree out as the loader reads it: every directory with its entries, then the names, then
// the data entries, then the data, each resource's bytes aligned to 8.
class TreeWriter {
  public:
    std::string write(const ResourceTree& tree, uint32_t sectionRva) {
        // First pass sizes every part, so that offsets are known before anything is written.
        uint32_t directories = size(tree.size());
        uint32_t dataEntries = 0, nameBytes = 0;
        size_t dataBytes = 0;
        const auto countName = [&](const ResourceKey& key) {
            if (key.isName())
                nameBytes += 2 + 2 * static_cast<uint32_t>(key.name.size());
        };
        for (const auto& [type, names] : tree) {
            countName(type);
            directories += size(names.size());
            for (const auto& [name, languages] : names) {
                countName(name);
                directories += size(languages.size());
                for (const auto& language : languages) {
                    countName(language.first);
                    ++dataEntries;
                    dataBytes += alignUp(static_cast<uint32_t>(language.second.bytes.size()), 8);
                }
            }
        }
        nextDirectory_ = 0;
        nextName_ = directories;
        nextDataEntry_ = alignUp(directories + nameBytes, 4);
        sectionRva_ = sectionRva;
        // Room for the data too, and the section's padding: a splash picture may be tens of MiB.
        out_.reserve(alignUp(nextDataEntry_ + dataEntries * 16, 8) + dataBytes + (1 << 16));
        out_.assign(alignUp(nextDataEntry_ + dataEntries * 16, 8), '\0');

        const uint32_t root = reserveDirectory(tree.size());
        size_t entry = root + 16;
        for (const auto& [type, names] : tree) {
            const uint32_t typeDirectory = reserveDirectory(names.size());
            writeEntry(entry, type, typeDirectory | kSubdirectoryBit);
            entry += 8;
            size_t nameEntry = typeDirectory + 16;
            for (const auto& [name, languages] : names) {
                const uint32_t nameDirectory = reserveDirectory(languages.size());
                writeEntry(nameEntry, name, nameDirectory | kSubdirectoryBit);
                nameEntry += 8;
                size_t languageEntry = nameDirectory + 16;
                for (const auto& [language, data] : languages) {
                    writeEntry(languageEntry, language, writeData(data));
                    languageEntry += 8;
                }
            }
        }
        return std::move(out_);
    }

  private:
    static uint32_t size(size_t entries) { return 16 + 8 * static_cast<uint32_t>(entries); }

    uint32_t reserveDirectory(size_t entries) {
        const uint32_t at = nextDirectory_;
        nextDirectory_ += size(entries);
        return at;
    }

    void writeEntry(size_t at, const ResourceKey& key, uint32_t target) {
        if (key.isName()) {
            put32(out_, at, nextName_ | kSubdirectoryBit);
            put16(out_, nextName_, static_cast<uint16_t>(key.name.size()));
            for (size_t i = 0; i < key.name.size(); ++i)
                put16(out_, nextName_ + 2 + 2 * i, key.name[i]);
            nextName_ += 2 + 2 * static_cast<uint32_t>(key.name.size());
        } else {
            put32(out_, at, key.id);
        }
        put32(out_, at + 4, target);
    }

    uint32_t writeData(const ResourceData& data) {
        const uint32_t entry = nextDataEntry_;
        nextDataEntry_ += 16;
        const uint32_t at = static_cast<uint32_t>(out_.size());
        out_ += data.bytes;
        out_.resize(alignUp(static_cast<uint32_t>(out_.size()), 8), '\0');
        put32(out_, entry, sectionRva_ + at);
        put32(out_, entry + 4, static_cast<uint32_t>(data.bytes.size()));
        put32(out_, entry + 8, data.codePage);
        return entry;
    }

    std::string out_;
    uint32_t nextDirectory_ = 0, nextName_ = 0, nextDataEntry_ = 0, sectionRva_ = 0;
};

// Directory headers carry the counts of named and numbered entries; they are filled in here, from the
// same maps, so that the writer's walk stays one loop.
void writeCounts(std::string& out, const ResourceTree& tree) {
    const auto header = [&](uint32_t at, uint16_t named, uint16_t numbered) {
        put16(out, at + 12, named);
        put16(out, at + 14, numbered);
    };
    const auto counts = [](const auto& map) {
        uint16_t named = 0;
        for (const auto& item : map)
            named = static_cast<uint16_t>(named + (item.first.isName() ? 1 : 0));
        return std::make_pair(named, static_cast<uint16_t>(map.size() - named));
    };
    uint32_t at = 0;
    auto c = counts(tree);
    header(at, c.first, c.second);
    at += 16 + 8 * static_cast<uint32_t>(tree.size());
    for (const auto& names : tree) {
        c = counts(names.second);
        header(at, c.first, c.second);
        at += 16 + 8 * static_cast<uint32_t>(names.second.size());
        for (const auto& languages : names.second) {
            c = counts(languages.second);
            header(at, c.first, c.second);
            at += 16 + 8 * static_cast<uint32_t>(languages.second.size());
        }
    }
}

} // namespace

bool ResourceKeyOrder::operator()(const ResourceKey& a, const ResourceKey& b) const {
    if (a.isName() != b.isName())
        return a.isName();
    if (!a.isName())
        return a.id < b.id;
    const auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
    const size_t common = std::min(a.name.size(), b.name.size());
    for (size_t i = 0; i < common; ++i) {
        if (upper(a.name[i]) != upper(b.name[i]))
            return upper(a.name[i]) < upper(b.name[i]);
    }
    if (a.name.size() != b.name.size())
        return a.name.size() < b.name.size();
    return a.name < b.name;
}

bool readResources(const std::string& image, ResourceTree* tree, std::string* error) {
    tree->clear();
    pe::Headers pe;
    if (!readLayout(image, &pe, error))
        return false;
    if (pe.directoryCount <= kResourceDirectory)
        return true;
    const uint32_t rva = get32(image, pe.directoryField(kResourceDirectory));
    const uint32_t size = get32(image, pe.directoryField(kResourceDirectory) + 4);
    if (rva == 0 && size == 0)
        return true;
    const Section* section = sectionHolding(pe, rva);
    if (section == nullptr || section->rawSize == 0) {
        *error = "the resource section is damaged: its directory points at no section";
        return false;
    }
    const uint32_t start = rva - section->virtualAddress;
    if (start >= section->rawSize) {
        *error = "the resource section is damaged: its directory lies outside the section's data";
        return false;
    }
    // Offsets inside the tree count from the directory's start; data RVAs from the image base.
    const std::string data = image.substr(section->rawOffset + start, section->rawSize - start);
    TreeReader reader(data, rva);
    return reader.readDirectory(0, 1, tree, nullptr, nullptr, error);
}

bool writeResources(std::string* image, const ResourceTree& tree, std::string* error) {
    pe::Headers pe;
    if (!readLayout(*image, &pe, error))
        return false;
    if (pe.sections.empty() || pe.directoryCount <= kRelocationDirectory) {
        *error = "the image has no room for a resource directory";
        return false;
    }
    const Section& last = pe.sections.back();
    if (size_t{last.rawOffset} + last.rawSize != image->size()) {
        *error = "the image does not end with its last section's data";
        return false;
    }
    const uint32_t resourceRva = get32(*image, pe.directoryField(kResourceDirectory));
    size_t replaced = pe.sections.size(); // index of the resource section; size(): none yet
    for (size_t i = 0; i < pe.sections.size(); ++i) {
        if (resourceRva != 0 && pe.sections[i].virtualAddress == resourceRva)
            replaced = i;
    }
    if (resourceRva != 0 && replaced == pe.sections.size()) {
        *error = "the resource directory does not start a section of its own";
        return false;
    }
    const uint32_t relocationRva = get32(*image, pe.directoryField(kRelocationDirectory));
    for (size_t i = replaced + 1; i < pe.sections.size(); ++i) {
        // Only base relocations can move: nothing else in the image points at them.
        if (pe.sections[i].virtualAddress != relocationRva || relocationRva == 0) {
            *error = "section " + pe.sections[i].name + " follows the resources and cannot be moved";
            return false;
        }
    }
    std::vector<Section> moved(pe.sections.begin() +
                                   static_cast<std::ptrdiff_t>(std::min(replaced + 1, pe.sections.size())),
                               pe.sections.end());
    Section resources{};
    if (replaced < pe.sections.size()) {
        resources = pe.sections[replaced];
    } else {
        const size_t tableEnd = pe.sectionTable + (pe.sections.size() + 1) * kSectionHeaderSize;
        uint32_t firstData = pe.sizeOfHeaders;
        for (const Section& s : pe.sections) {
            if (s.rawSize != 0)
                firstData = std::min(firstData, s.rawOffset);
        }
        if (tableEnd > firstData) {
            *error = "the image's headers have no room for another section";
            return false;
        }
        resources.name = ".rsrc";
        resources.headerOffset = pe.sectionTable + pe.sections.size() * kSectionHeaderSize;
        resources.virtualAddress =
            alignUp(last.virtualAddress + std::max(last.virtualSize, 1u), pe.sectionAlignment);
        resources.rawOffset = static_cast<uint32_t>(image->size());
        resources.characteristics = kInitializedData | 0x40000000u; // initialised, readable
    }

    TreeWriter writer;
    std::string contents = writer.write(tree, resources.virtualAddress);
    writeCounts(contents, tree);
    resources.virtualSize = static_cast<uint32_t>(contents.size());
    resources.rawSize = alignUp(resources.virtualSize, pe.fileAlignment);
    contents.resize(resources.rawSize, '\0');

    // The data before the resource section stays byte for byte; what follows is laid out anew.
    size_t movedBytes = 0;
    for (const Section& s : moved)
        movedBytes += s.rawSize;
    std::string out;
    out.reserve(resources.rawOffset + contents.size() + movedBytes);
    out.append(*image, 0, resources.rawOffset);
    out += contents;
    contents = std::string();
    uint32_t nextRva = alignUp(resources.virtualAddress + resources.virtualSize, pe.sectionAlignment);
    std::vector<Section> layout = {resources};
    for (Section s : moved) {
        const std::string data = image->substr(s.rawOffset, s.rawSize);
        s.rawOffset = static_cast<uint32_t>(out.size());
        out += data;
        if (s.virtualAddress == relocationRva)
            put32(out, pe.directoryField(kRelocationDirectory), nextRva);
        s.virtualAddress = nextRva;
        nextRva = alignUp(s.virtualAddress + std::max(s.virtualSize, 1u), pe.sectionAlignment);
        layout.push_back(s);
    }
    for (const Section& s : layout) {
        out.replace(s.headerOffset, 8, (s.name + std::string(8, '\0')).substr(0, 8));
        put32(out, s.headerOffset + 8, s.virtualSize);
        put32(out, s.headerOffset + 12, s.virtualAddress);
        put32(out, s.headerOffset + 16, s.rawSize);
        put32(out, s.headerOffset + 20, s.rawOffset);
        std::memset(&out[s.headerOffset + 24], 0, 12); // relocations and line numbers: none in images
        put32(out, s.headerOffset + 36, s.characteristics);
    }
    if (replaced == pe.sections.size())
        put16(out, pe.numberOfSectionsField(), static_cast<uint16_t>(pe.sections.size() + 1));
    put32(out, pe.directoryField(kResourceDirectory), resources.virtualAddress);
    put32(out, pe.directoryField(kResourceDirectory) + 4, resources.virtualSize);
    put32(out, pe.directoryField(kCertificateDirectory), 0);
    put32(out, pe.directoryField(kCertificateDirectory) + 4, 0);
    put32(out, pe.sizeOfImageField(), nextRva);

    pe::Headers written;
    if (!readLayout(out, &written, error))
        return false;
    uint32_t initialized = 0;
    for (const Section& s : written.sections) {
        if ((s.characteristics & kInitializedData) != 0)
            initialized += s.rawSize;
    }
    put32(out, written.sizeOfInitializedDataField(), initialized);
    *image = std::move(out);
    return true;
}

} // namespace kestro::packer
