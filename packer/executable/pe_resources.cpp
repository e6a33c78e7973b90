#include "executable/pe_resources.h"

#include <cstring>
#include <set>
#include <vector>

namespace kestro::packer {
namespace {

constexpr uint16_t kPe32Magic = 0x10b;
constexpr uint16_t kPe32PlusMagic = 0x20b;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kCertificateDirectory = 4;
constexpr uint32_t kRelocationDirectory = 5;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kInitializedData = 0x40;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;
// Type, name, language: the loader looks no deeper.
constexpr int kTreeDepth = 3;

uint16_t get16(const std::string& b, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}
uint32_t get32(const std::string& b, size_t at) {
    return static_cast<uint32_t>(get16(b, at)) | static_cast<uint32_t>(get16(b, at + 2)) << 16;
}
void put16(std::string& b, size_t at, uint16_t v) {
    b[at] = static_cast<char>(v & 0xff);
    b[at + 1] = static_cast<char>(v >> 8);
}
void put32(std::string& b, size_t at, uint32_t v) {
    put16(b, at, static_cast<uint16_t>(v & 0xffff));
    put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
uint32_t alignUp(uint32_t v, uint32_t alignment) {
    return (v + alignment - 1) / alignment * alignment;
}

struct Section {
    size_t headerOffset;
    char name[8];
    uint32_t virtualSize, virtualAddress, rawSize, rawOffset, characteristics;
};

// Where the fields this file reads and changes sit in one image.
struct PeLayout {
    size_t optionalHeader = 0;
    size_t dataDirectories = 0;
    uint32_t directoryCount = 0;
    size_t sectionTable = 0;
    std::vector<Section> sections;
    uint32_t fileAlignment = 0, sectionAlignment = 0, sizeOfHeaders = 0;

    size_t directoryAt(uint32_t index) const { return dataDirectories + 8 * index; }
};

bool parseLayout(const std::string& image, PeLayout* pe, std::string* error) {
    const auto fail = [&](const std::string& why) {
        *error = "not a PE image: " + why;
        return false;
    };
    if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z')
        return fail("no MZ header");
    const uint32_t signature = get32(image, 60);
    if (signature > image.size() || image.size() - signature < 24 ||
        std::memcmp(image.data() + signature, "PE\0\0", 4) != 0)
        return fail("no PE signature");
    const uint16_t sectionCount = get16(image, signature + 6);
    const uint16_t optionalSize = get16(image, signature + 20);
    pe->optionalHeader = signature + 24;
    pe->sectionTable = pe->optionalHeader + optionalSize;
    if (pe->sectionTable + size_t{sectionCount} * kSectionHeaderSize > image.size() || optionalSize < 96)
        return fail("headers cut short");
    const uint16_t magic = get16(image, pe->optionalHeader);
    if (magic != kPe32Magic && magic != kPe32PlusMagic)
        return fail("unknown optional header");
    const size_t countField = pe->optionalHeader + (magic == kPe32Magic ? 92 : 108);
    pe->dataDirectories = countField + 4;
    pe->directoryCount = get32(image, countField);
    if (pe->directoryCount > 16 || pe->dataDirectories + 8 * pe->directoryCount > pe->sectionTable)
        return fail("data directories do not fit the optional header");
    pe->sectionAlignment = get32(image, pe->optionalHeader + 32);
    pe->fileAlignment = get32(image, pe->optionalHeader + 36);
    pe->sizeOfHeaders = get32(image, pe->optionalHeader + 60);
    const auto powerOfTwo = [](uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
    if (!powerOfTwo(pe->fileAlignment) || !powerOfTwo(pe->sectionAlignment) ||
        pe->fileAlignment > pe->sectionAlignment)
        return fail("bad alignment");
    for (uint16_t i = 0; i < sectionCount; ++i) {
        Section s{};
        s.headerOffset = pe->sectionTable + size_t{i} * kSectionHeaderSize;
        std::memcpy(s.name, image.data() + s.headerOffset, 8);
        s.virtualSize = get32(image, s.headerOffset + 8);
        s.virtualAddress = get32(image, s.headerOffset + 12);
        s.rawSize = get32(image, s.headerOffset + 16);
        s.rawOffset = get32(image, s.headerOffset + 20);
        s.characteristics = get32(image, s.headerOffset + 36);
        if (s.rawSize != 0 && (s.rawOffset > image.size() || image.size() - s.rawOffset < s.rawSize))
            return fail("section " + std::string(s.name, strnlen(s.name, 8)) + " lies beyond the file");
        pe->sections.push_back(s);
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

const Section* sectionHolding(const PeLayout& pe, uint32_t rva) {
    for (const Section& s : pe.sections) {
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
                }
            }
        }
        nextDirectory_ = 0;
        nextName_ = directories;
        nextDataEntry_ = alignUp(directories + nameBytes, 4);
        sectionRva_ = sectionRva;
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
        return out_;
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

std::string sectionName(const Section& s) {
    return std::string(s.name, strnlen(s.name, 8));
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
    PeLayout pe;
    if (!parseLayout(image, &pe, error))
        return false;
    if (pe.directoryCount <= kResourceDirectory)
        return true;
    const uint32_t rva = get32(image, pe.directoryAt(kResourceDirectory));
    const uint32_t size = get32(image, pe.directoryAt(kResourceDirectory) + 4);
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
    PeLayout pe;
    if (!parseLayout(*image, &pe, error))
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
    const uint32_t resourceRva = get32(*image, pe.directoryAt(kResourceDirectory));
    size_t replaced = pe.sections.size(); // index of the resource section; size(): none yet
    for (size_t i = 0; i < pe.sections.size(); ++i) {
        if (resourceRva != 0 && pe.sections[i].virtualAddress == resourceRva)
            replaced = i;
    }
    if (resourceRva != 0 && replaced == pe.sections.size()) {
        *error = "the resource directory does not start a section of its own";
        return false;
    }
    const uint32_t relocationRva = get32(*image, pe.directoryAt(kRelocationDirectory));
    for (size_t i = replaced + 1; i < pe.sections.size(); ++i) {
        // Only base relocations can move: nothing else in the image points at them.
        if (pe.sections[i].virtualAddress != relocationRva || relocationRva == 0) {
            *error = "section " + sectionName(pe.sections[i]) + " follows the resources and cannot be moved";
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
        std::memcpy(resources.name, ".rsrc\0\0\0", 8);
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
    std::string out = image->substr(0, resources.rawOffset);
    out += contents;
    uint32_t nextRva = alignUp(resources.virtualAddress + resources.virtualSize, pe.sectionAlignment);
    std::vector<Section> layout = {resources};
    for (Section s : moved) {
        const std::string data = image->substr(s.rawOffset, s.rawSize);
        s.rawOffset = static_cast<uint32_t>(out.size());
        out += data;
        if (s.virtualAddress == relocationRva)
            put32(out, pe.directoryAt(kRelocationDirectory), nextRva);
        s.virtualAddress = nextRva;
        nextRva = alignUp(s.virtualAddress + std::max(s.virtualSize, 1u), pe.sectionAlignment);
        layout.push_back(s);
    }
    for (const Section& s : layout) {
        std::memcpy(&out[s.headerOffset], s.name, 8);
        put32(out, s.headerOffset + 8, s.virtualSize);
        put32(out, s.headerOffset + 12, s.virtualAddress);
        put32(out, s.headerOffset + 16, s.rawSize);
        put32(out, s.headerOffset + 20, s.rawOffset);
        std::memset(&out[s.headerOffset + 24], 0, 12); // relocations and line numbers: none in images
        put32(out, s.headerOffset + 36, s.characteristics);
    }
    if (replaced == pe.sections.size()) {
        const size_t fileHeader = pe.optionalHeader - 20;
        put16(out, fileHeader + 2, static_cast<uint16_t>(pe.sections.size() + 1));
    }
    put32(out, pe.directoryAt(kResourceDirectory), resources.virtualAddress);
    put32(out, pe.directoryAt(kResourceDirectory) + 4, resources.virtualSize);
    put32(out, pe.directoryAt(kCertificateDirectory), 0);
    put32(out, pe.directoryAt(kCertificateDirectory) + 4, 0);
    put32(out, pe.optionalHeader + 56, nextRva); // SizeOfImage

    PeLayout written;
    if (!parseLayout(out, &written, error))
        return false;
    uint32_t initialized = 0;
    for (const Section& s : written.sections) {
        if ((s.characteristics & kInitializedData) != 0)
            initialized += s.rawSize;
    }
    put32(out, written.optionalHeader + 8, initialized);
    put32(out, written.optionalHeader + 64, peChecksum(out, written.optionalHeader + 64));
    *image = std::move(out);
    return true;
}

uint32_t peChecksum(const std::string& image, size_t checksumOffset) {
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2)
            continue;
        uint32_t word = static_cast<uint8_t>(image[i]);
        if (i + 1 < image.size())
            word |= static_cast<uint32_t>(static_cast<uint8_t>(image[i + 1])) << 8;
        sum += word;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint32_t>(sum) + static_cast<uint32_t>(image.size());
}

} // namespace kestro::packer
