#include "commands/inspect.h"

#include "executable/pe_resources.h"
#include "executable/picture_resource.h"

#include "binary/little_endian.h"
#include "executable/version_resource.h"
#include "payload/payload_format.h"
#include "project/project_keys.h"
#include "support/file_io.h"
#include "support/text_encoding.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace kestro::packer {
namespace {

constexpr uint64_t kFirstWindow = 1 << 20;
// The headers and the tables of any launcher the packer writes fit many times in this; beyond it a
// damaged field, not a launcher, would have inspect read the whole file into memory.
constexpr uint64_t kLastWindow = 16 << 20;

class LauncherFile {
  public:
    explicit LauncherFile(const std::string& path) : in_(path, std::ios::binary) {
        if (in_) {
            in_.seekg(0, std::ios::end);
            size_ = static_cast<uint64_t>(in_.tellg());
        }
    }
    bool isOpen() const { return static_cast<bool>(in_); }
    uint64_t size() const { return size_; }

    // Reads up to length bytes at offset; fewer at the end of the file.
    std::string read(uint64_t offset, uint64_t length) {
        length = offset >= size_ ? 0 : std::min(length, size_ - offset);
        std::string bytes(length, '\0');
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(offset));
        in_.read(bytes.data(), static_cast<std::streamsize>(length));
        bytes.resize(static_cast<size_t>(in_.gcount()));
        return bytes;
    }

  private:
    std::ifstream in_;
    uint64_t size_ = 0;
};

// The section table may lie anywhere the headers point, so the image is read in growing windows until
// the payload start is found or the whole file has been tried.
bool locatePayload(LauncherFile& file, uint64_t* start, std::string* error) {
    for (uint64_t window = kFirstWindow;; window *= 2) {
        std::string image = file.read(0, window);
        if (image.compare(0, 2, "MZ") != 0) {
            *error = "not a PE executable";
            return false;
        }
        size_t found;
        if (payload::findPayloadStart(image, &found, error)) {
            *start = found;
            return true;
        }
        if (image.size() == file.size())
            return false;
        if (window >= kLastWindow) {
            *error = "not a launcher: its PE headers do not end within the first 16 MiB";
            return false;
        }
    }
}

bool readTables(LauncherFile& file, uint64_t start, payload::PayloadTables* tables, uint64_t* end,
                std::string* error) {
    std::string magic = file.read(start, 4);
    std::string expected;
    payload::appendInt32(expected, static_cast<int32_t>(payload::kMagic));
    if (magic != expected) {
        *error = "no payload: the data after the last section does not start with the payload's magic number";
        return false;
    }
    for (uint64_t window = kFirstWindow;; window *= 2) {
        std::string data = file.read(start, window);
        size_t tablesEnd;
        if (payload::decodeTables(data, 0, tables, &tablesEnd, error)) {
            *end = start + tablesEnd;
            return true;
        }
        if (start + data.size() == file.size())
            return false;
        if (window >= kLastWindow) {
            *error = "the payload's tables do not end within 16 MiB of their start: a record count or "
                     "length is damaged";
            return false;
        }
    }
}

template <typename Text>
std::map<int32_t, Text> effective(const std::vector<std::pair<int32_t, Text>>& records) {
    std::map<int32_t, Text> texts;
    for (const auto& [id, text] : records)
        texts[id] = text;
    return texts;
}

// The launcher reads a number like atoi: blanks, an optional sign, digits up to the first other character.
long long leadingNumber(const std::string& text) {
    long long value = 0;
    std::sscanf(text.c_str(), "%lld", &value);
    return value;
}

std::vector<std::string> splitNames(const std::string& names) {
    std::vector<std::string> result;
    std::stringstream stream(names);
    for (std::string name; std::getline(stream, name, ';');) {
        if (!name.empty())
            result.push_back(name);
    }
    return result;
}

void walkIncludedFiles(LauncherFile& file, const payload::PayloadTables& tables, uint64_t position,
                       LauncherContents* contents) {
    const auto config = effective(tables.config);
    auto lookup = [&](int32_t id) {
        auto found = config.find(id);
        return found == config.end() ? std::string() : found->second;
    };
    const long long count = leadingNumber(lookup(payload::config::IncludedFileCount));
    const std::vector<std::string> names = splitNames(lookup(payload::config::IncludedFileNames));
    for (long long i = 0; i < count && static_cast<size_t>(i) < names.size(); ++i) {
        InspectedFile entry;
        entry.name = names[static_cast<size_t>(i)];
        std::string sizeField = file.read(position, 8);
        if (sizeField.size() < 8) {
            entry.size = -1;
            entry.truncated = true;
            contents->files.push_back(entry);
            position = file.size();
            break;
        }
        position += 8;
        entry.size = static_cast<int64_t>(binary::get64(sizeField, 0));
        const uint64_t wanted = entry.size > 0 ? static_cast<uint64_t>(entry.size) : 0;
        entry.stored = static_cast<int64_t>(std::min(wanted, file.size() - position));
        entry.truncated = static_cast<uint64_t>(entry.stored) < wanted;
        position += static_cast<uint64_t>(entry.stored);
        contents->files.push_back(entry);
        if (entry.truncated)
            break;
    }
    contents->trailingBytes = file.size() - position;
}

// A signature's table comes last; the signer pads what is before it to 8 bytes with zeros, which are
// no data of the launcher's.
void inspectSignature(LauncherFile& file, LauncherContents* contents) {
    InspectedSignature& signature = contents->signature;
    signature = InspectedSignature{};
    const uint64_t filesEnd = file.size() - contents->trailingBytes;
    CertificateTable table;
    std::string why;
    const std::string headers = file.read(0, contents->payloadOffset);
    switch (findCertificateTable(headers, file.size(), filesEnd, &table, &why)) {
    case CertificateTableState::Absent:
        return;
    case CertificateTableState::Unusable:
        signature.present = true;
        signature.problem = why;
        return;
    case CertificateTableState::Present:
        break;
    }
    signature.present = true;
    signature.table = table;
    if (!readSignature(file.read(table.offset, table.size), &signature.facts, &why)) {
        signature.problem = why;
    } else {
        std::string digest;
        signature.digestChecked = authenticodeDigest(
            headers, table, signature.facts.digestAlgorithm,
            [&](uint64_t offset, uint64_t length) { return file.read(offset, length); }, &digest);
        signature.intact = signature.digestChecked && digest == signature.facts.digest;
    }
    const uint64_t gapStart = std::max(filesEnd, table.offset >= 7 ? table.offset - 7 : 0);
    const std::string gap = file.read(gapStart, table.offset - gapStart);
    size_t padding = 0;
    while (padding < gap.size() && gap[gap.size() - 1 - padding] == '\0')
        ++padding;
    contents->trailingBytes = table.offset - filesEnd - padding;
}

std::string quoted(const std::string& utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
                out += escape;
            } else {
                out.push_back(c);
            }
        }
    }
    return out + "\"";
}

std::string keyName(int32_t id, bool messageTable) {
    const ProjectKey* key = findKeyById(id, messageTable);
    return key == nullptr ? std::string() : std::string(key->section) + "." + key->name;
}

// Every record as (id, key, UTF-8 text), sorted by id, the last record of an id winning.
std::vector<std::tuple<int32_t, std::string, std::string>> readableRecords(const LauncherContents& contents,
                                                                           bool messageTable) {
    std::vector<std::tuple<int32_t, std::string, std::string>> records;
    if (messageTable) {
        for (const auto& [id, text] : effective(contents.tables.messages))
            records.emplace_back(id, keyName(id, true), utf16ToUtf8(text));
    } else {
        for (const auto& [id, text] : effective(contents.tables.config))
            records.emplace_back(id, keyName(id, false), cp1252ToUtf8(text));
    }
    return records;
}

// An image an icon group lists: its entry is 14 bytes, the sides first (0 stands for 256 pixels),
// the bit count at offset 6.
struct IconImage {
    int width, height, bits;
};

std::vector<IconImage> iconImages(const std::string& group) {
    std::vector<IconImage> images;
    const size_t count = group.size() >= 6 ? binary::get16(group, 4) : 0;
    for (size_t i = 0; i < count && 6 + (i + 1) * 14 <= group.size(); ++i) {
        const size_t entry = 6 + i * 14;
        const auto side = [&](size_t at) {
            return group[at] == '\0' ? 256 : static_cast<uint8_t>(group[at]);
        };
        images.push_back({side(entry), side(entry + 1), binary::get16(group, entry + 6)});
    }
    return images;
}

std::string keyText(const ResourceKey& key) {
    return key.isName() ? "\"" + utf16ToUtf8(key.name) + "\"" : std::to_string(key.id);
}

// What a resource is, for a person: an icon group lists its image sizes, a bitmap its size and depth.
std::string describeResource(const ResourceKey& type, const ResourceData& data) {
    const std::string& bytes = data.bytes;
    uint32_t pictureWidth = 0, pictureHeight = 0;
    if (!type.isName() && type.id == resource_type::Bitmap &&
        pictureSize(bytes, &pictureWidth, &pictureHeight))
        return std::to_string(pictureWidth) + "x" + std::to_string(pictureHeight) + "/" +
               std::to_string(static_cast<uint8_t>(bytes[14]));
    VersionInfo version;
    if (!type.isName() && type.id == resource_type::Version && readVersionResource(bytes, &version))
        return "file " + version.fileVersion + ", product " + version.productVersion;
    if (type.isName() || type.id != resource_type::GroupIcon || bytes.size() < 6)
        return std::to_string(bytes.size()) + " bytes";
    std::string text = std::to_string(binary::get16(bytes, 4)) + " images:";
    for (const IconImage& image : iconImages(bytes))
        text += " " + std::to_string(image.width) + "x" + std::to_string(image.height) + "/" +
                std::to_string(image.bits);
    return text;
}

void listResources(LauncherFile& file, uint64_t payloadStart, LauncherContents* contents) {
    static const std::map<uint16_t, const char*> kTypeNames = {
        {resource_type::Icon, "icon"},
        {5, "dialog"},
        {6, "string table"},
        {resource_type::GroupIcon, "icon group"},
        {resource_type::Version, "version information"},
        {24, "manifest"},
        {2, "bitmap"}};
    ResourceTree& tree = contents->resourceTree;
    if (!readResources(file.read(0, payloadStart), &tree, &contents->resourceProblem))
        return;
    for (const auto& [type, names] : tree) {
        const auto known = type.isName() ? kTypeNames.end() : kTypeNames.find(type.id);
        const std::string typeText = known != kTypeNames.end() ? known->second : "type " + keyText(type);
        for (const auto& [name, languages] : names) {
            for (const auto& [language, data] : languages)
                contents->resources.push_back(typeText + " " + keyText(name) + " (language " +
                                              keyText(language) + "): " + describeResource(type, data));
        }
    }
}

// A resource key as JSON: its number, or its name as a string.
std::string keyJson(const ResourceKey& key) {
    return key.isName() ? quoted(utf16ToUtf8(key.name)) : std::to_string(key.id);
}

// The text of bytes as a JSON string when it is UTF-8, null otherwise.
std::string utf8Json(const std::string& bytes) {
    std::u16string ignored;
    std::string why;
    return utf8ToUtf16(bytes, &ignored, &why) ? quoted(bytes) : "null";
}

// The images an icon group lists, as a JSON array; 0 stands for 256 pixels.
std::string iconImagesJson(const std::string& group) {
    std::string out = "[";
    for (const IconImage& image : iconImages(group))
        out += std::string(out.size() == 1 ? "" : ", ") + "{\"bits\": " + std::to_string(image.bits) +
               ", \"height\": " + std::to_string(image.height) +
               ", \"width\": " + std::to_string(image.width) + "}";
    return out + "]";
}

// The resources as JSON: every entry, then what the shell, the dialogs and the splash read from them
// (icon groups, the manifest, the splash picture and the version information). Members alphabetical.
std::string resourcesJson(const LauncherContents& contents) {
    std::ostringstream bitmaps, entries, groups, manifest, version;
    manifest << "null";
    version << "null";
    const char* bitmapSeparator = "";
    const char* entrySeparator = "";
    const char* groupSeparator = "";
    for (const auto& [type, names] : contents.resourceTree) {
        for (const auto& [name, languages] : names) {
            for (const auto& [language, data] : languages) {
                const std::string& bytes = data.bytes;
                entries << entrySeparator << "\n      {\"language\": " << keyJson(language)
                        << ", \"name\": " << keyJson(name) << ", \"size\": " << bytes.size()
                        << ", \"type\": " << keyJson(type) << "}";
                entrySeparator = ",";
                if (type.isName())
                    continue;
                uint32_t width = 0, height = 0;
                VersionInfo info;
                if (type.id == resource_type::Bitmap && pictureSize(bytes, &width, &height)) {
                    bitmaps << bitmapSeparator
                            << "\n      {\"bits\": " << static_cast<int>(static_cast<uint8_t>(bytes[14]))
                            << ", \"height\": " << height << ", \"id\": " << keyJson(name)
                            << ", \"language\": " << keyJson(language) << ", \"width\": " << width << "}";
                    bitmapSeparator = ",";
                } else if (type.id == resource_type::GroupIcon && bytes.size() >= 6) {
                    groups << groupSeparator << "\n      {\"id\": " << keyJson(name)
                           << ", \"images\": " << iconImagesJson(bytes)
                           << ", \"language\": " << keyJson(language) << "}";
                    groupSeparator = ",";
                } else if (type.id == resource_type::Manifest && name.id == 1) {
                    manifest.str("");
                    manifest << utf8Json(bytes);
                } else if (type.id == resource_type::Version && name.id == 1 &&
                           readVersionResource(bytes, &info)) {
                    version.str("");
                    version << "{\"file_version\": " << quoted(info.fileVersion)
                            << ", \"product_version\": " << quoted(info.productVersion) << ", \"strings\": {";
                    const char* separator = "";
                    const std::map<std::string, std::string> sorted(info.strings.begin(), info.strings.end());
                    for (const auto& [key, text] : sorted) {
                        version << separator << quoted(key) << ": " << quoted(text);
                        separator = ", ";
                    }
                    version << "}}";
                }
            }
        }
    }
    std::ostringstream out;
    out << "{\n    \"bitmaps\": [" << bitmaps.str() << (bitmapSeparator[0] ? "\n    ]" : "]")
        << ",\n    \"entries\": [" << entries.str() << (entrySeparator[0] ? "\n    ]" : "]")
        << ",\n    \"icon_groups\": [" << groups.str() << (groupSeparator[0] ? "\n    ]" : "]")
        << ",\n    \"manifest\": " << manifest.str() << ",\n    \"problem\": "
        << (contents.resourceProblem.empty() ? "null" : quoted(contents.resourceProblem))
        << ",\n    \"version\": " << version.str() << "\n  }";
    return out.str();
}

} // namespace

bool inspectLauncher(const std::string& path, LauncherContents* contents, std::string* error) {
    LauncherFile file(path);
    if (!file.isOpen()) {
        *error = "cannot open " + path + ": " + whyNotReadable(path);
        return false;
    }
    std::string why;
    uint64_t start = 0, tablesEnd = 0;
    if (!locatePayload(file, &start, &why) || !readTables(file, start, &contents->tables, &tablesEnd, &why)) {
        *error = path + ": " + why;
        return false;
    }
    contents->payloadOffset = start;
    contents->files.clear();
    walkIncludedFiles(file, contents->tables, tablesEnd, contents);
    inspectSignature(file, contents);
    contents->resources.clear();
    contents->resourceTree.clear();
    contents->resourceProblem.clear();
    listResources(file, start, contents);
    return true;
}

std::string formatInspection(const LauncherContents& contents) {
    std::ostringstream out;
    out << "Payload at offset " << contents.payloadOffset << "\n";
    for (bool messageTable : {false, true}) {
        const auto records = readableRecords(contents, messageTable);
        out << "\n" << (messageTable ? "Messages" : "Configuration") << " (" << records.size() << "):\n";
        for (const auto& [id, key, text] : records) {
            char idColumn[16];
            std::snprintf(idColumn, sizeof idColumn, "%6d", static_cast<int>(id));
            out << idColumn << "  " << (key.empty() ? "(unknown id)" : key) << " = " << quoted(text) << "\n";
        }
    }
    out << "\nIncluded files (" << contents.files.size() << "):\n";
    for (const InspectedFile& file : contents.files) {
        out << "  " << cp1252ToUtf8(file.name) << "  ";
        if (file.size < 0)
            out << "TRUNCATED: the size field is cut off\n";
        else if (file.truncated)
            out << "TRUNCATED: " << file.stored << " of " << file.size << " bytes present\n";
        else
            out << file.size << " bytes\n";
    }
    if (contents.trailingBytes > 0)
        out << "\n" << contents.trailingBytes << " bytes of further data after the included files\n";
    const InspectedSignature& signature = contents.signature;
    if (!signature.present)
        out << "\nSignature: none\n";
    else if (!signature.problem.empty())
        out << "\nSignature: unreadable: " << signature.problem << "\n";
    else
        out << "\nSignature: signed by " << quoted(signature.facts.signer) << ", issued by "
            << quoted(signature.facts.issuer) << ", " << (signature.facts.timestamped ? "with" : "without")
            << " a time stamp; "
            << (!signature.digestChecked ? "its digest algorithm is unknown, so the file was not checked"
                : signature.intact       ? "the file is as signed"
                                         : "THE FILE WAS CHANGED AFTER SIGNING")
            << " (" << signature.table.size << " bytes at offset " << signature.table.offset
            << "; osslsigncode verify also checks the certificates)\n";
    if (!contents.resourceProblem.empty()) {
        out << "\nResources: " << contents.resourceProblem << "\n";
    } else {
        out << "\nResources (" << contents.resources.size() << "):\n";
        for (const std::string& line : contents.resources)
            out << "  " << line << "\n";
    }
    return out.str();
}

std::string formatInspectionJson(const LauncherContents& contents) {
    std::ostringstream out;
    out << "{\n";
    for (bool messageTable : {false, true}) {
        out << (messageTable ? "  \"messages\": [" : "  \"configuration\": [");
        const char* separator = "\n";
        for (const auto& [id, key, text] : readableRecords(contents, messageTable)) {
            out << separator << "    {\"id\": " << id << ", \"key\": " << (key.empty() ? "null" : quoted(key))
                << ", \"text\": " << quoted(text) << "}";
            separator = ",\n";
        }
        out << "\n  ],\n";
        if (!messageTable) {
            out << "  \"files\": [";
            const char* fileSeparator = "\n";
            for (const InspectedFile& file : contents.files) {
                out << fileSeparator << "    {\"name\": " << quoted(cp1252ToUtf8(file.name))
                    << ", \"size\": " << file.size << ", \"stored\": " << file.stored
                    << ", \"truncated\": " << (file.truncated ? "true" : "false") << "}";
                fileSeparator = ",\n";
            }
            out << "\n  ],\n";
        }
    }
    out << "  \"payload_offset\": " << contents.payloadOffset << ",\n";
    out << "  \"resources\": " << resourcesJson(contents) << ",\n";
    const InspectedSignature& signature = contents.signature;
    out << "  \"signature\": ";
    if (!signature.present)
        out << "null,\n";
    else if (!signature.problem.empty())
        out << "{\"problem\": " << quoted(signature.problem) << "},\n";
    else
        out << "{\"intact\": "
            << (!signature.digestChecked ? "null"
                : signature.intact       ? "true"
                                         : "false")
            << ", \"issuer\": " << quoted(signature.facts.issuer)
            << ", \"signer\": " << quoted(signature.facts.signer)
            << ", \"timestamped\": " << (signature.facts.timestamped ? "true" : "false") << "},\n";
    out << "  \"trailing_bytes\": " << contents.trailingBytes << "\n}\n";
    return out.str();
}

} // namespace kestro::packer
