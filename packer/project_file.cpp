#include "project_file.h"

#include "payload/payload_format.h"
#include "project_keys.h"
#include "text_encoding.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <toml++/toml.h>

namespace kestro::packer {
namespace {

namespace fs = std::filesystem;

// Collects the values of one project file and the first error met while reading it.
class ProjectReader {
  public:
    ProjectReader(std::string sourceName, std::string baseDirectory)
        : sourceName_(std::move(sourceName)), baseDirectory_(std::move(baseDirectory)) {
        for (const ProjectKey& key : projectKeys()) {
            std::string section = key.section;
            for (size_t dot = section.find('.'); dot != std::string::npos; dot = section.find('.', dot + 1))
                knownSections_.insert(section.substr(0, dot));
            knownSections_.insert(section);
        }
    }

    bool read(const toml::table& root, PackRequest* request, std::string* error);

  private:
    bool fail(const toml::node& node, const std::string& message);
    bool failWithoutLine(const std::string& message);
    bool readSection(const std::string& section, const toml::table& table);
    bool readValue(const ProjectKey& key, const std::string& qualifiedName, const toml::node& node);
    bool readText(const std::string& qualifiedName, const toml::node& node, const ProjectKey& key,
                  std::string* text);
    bool readList(const ProjectKey& key, const std::string& qualifiedName, const toml::node& node,
                  std::string* text);
    bool readBundledRuntime(const toml::node& node);
    bool checkBundledRuntime();
    bool readFiles(const toml::node& node);
    bool readFileEntry(const toml::node& entry);
    bool checkConversions(const ProjectKey& key, const std::string& qualifiedName, const toml::node& node,
                          const std::string& text);
    PackRequest buildRequest() const;

    std::string sourceName_;
    std::string baseDirectory_;
    std::set<std::string> knownSections_;
    std::map<int32_t, std::string> config_;
    std::map<int32_t, std::u16string> messages_;
    std::vector<IncludedFile> files_;
    std::string bundledRuntime_;
    std::string error_;
};

const char* typeName(const toml::node& node) {
    switch (node.type()) {
    case toml::node_type::table:
        return "a table";
    case toml::node_type::array:
        return "an array";
    case toml::node_type::string:
        return "a string";
    case toml::node_type::integer:
        return "an integer";
    case toml::node_type::floating_point:
        return "a floating-point number";
    case toml::node_type::boolean:
        return "a boolean";
    default:
        return "a date or time";
    }
}

const char* expectedName(ValueType type) {
    switch (type) {
    case ValueType::Integer:
        return "an integer";
    case ValueType::Flag:
        return "a boolean (true or false)";
    case ValueType::Colour:
        return "an array of three integers [red, green, blue]";
    case ValueType::List:
        return "an array of strings";
    case ValueType::Kind:
        return "\"launcher\" or \"installer\"";
    case ValueType::Sha256:
        return "a SHA-256 digest of 64 hex digits";
    default:
        return "a string";
    }
}

bool ProjectReader::fail(const toml::node& node, const std::string& message) {
    const toml::source_region& where = node.source();
    std::ostringstream text;
    text << sourceName_ << ":" << where.begin.line << ":" << where.begin.column << ": " << message;
    error_ = text.str();
    return false;
}

bool ProjectReader::failWithoutLine(const std::string& message) {
    error_ = sourceName_ + ": " + message;
    return false;
}

bool ProjectReader::read(const toml::table& root, PackRequest* request, std::string* error) {
    bool ok = true;
    for (auto it = root.begin(); ok && it != root.end(); ++it) {
        const std::string name(it->first.str());
        if (name == "files")
            ok = readFiles(it->second);
        else if (knownSections_.count(name) != 0 && it->second.is_table())
            ok = readSection(name, *it->second.as_table());
        else if (knownSections_.count(name) != 0)
            ok = fail(it->second,
                      "\"" + shownInMessage(name) + "\" must be a table, not " + typeName(it->second));
        else
            ok = fail(it->second, "unknown key or table \"" + shownInMessage(name) + "\"");
    }
    if (ok)
        ok = checkBundledRuntime();
    if (ok && config_.count(payload::config::MainClass) == 0)
        ok = failWithoutLine(
            "application.main_class is required: the launcher has nothing to start without it");
    if (!ok) {
        *error = error_;
        return false;
    }
    *request = buildRequest();
    return true;
}

bool ProjectReader::readSection(const std::string& section, const toml::table& table) {
    for (const auto& [key, node] : table) {
        const std::string name(key.str());
        const std::string qualifiedName = section + "." + name;
        if (knownSections_.count(qualifiedName) != 0) {
            if (!node.is_table())
                return fail(node, "\"" + qualifiedName + "\" must be a table, not " + typeName(node));
            if (!readSection(qualifiedName, *node.as_table()))
                return false;
            continue;
        }
        if (qualifiedName == "java.bundled_runtime") {
            if (!readBundledRuntime(node))
                return false;
            continue;
        }
        const ProjectKey* known = findKey(section.c_str(), name.c_str());
        if (known == nullptr || known->type == ValueType::Derived)
            return fail(node, "unknown key \"" + shownInMessage(qualifiedName) + "\"");
        if (!readValue(*known, qualifiedName, node))
            return false;
    }
    return true;
}

bool ProjectReader::readText(const std::string& qualifiedName, const toml::node& node, const ProjectKey& key,
                             std::string* text) {
    const std::string& utf8 = node.as_string()->get();
    if (utf8.find('\0') != std::string::npos)
        return fail(node, qualifiedName + " contains a NUL character, which ends a text in the launcher");
    std::string why;
    if (!utf8ToCp1252(utf8, text, &why))
        return fail(node, qualifiedName + ": " + why);
    if (text->size() >= key.capacity) {
        return fail(node, qualifiedName + " is " + std::to_string(text->size()) +
                              " bytes long; the launcher reads at most " + std::to_string(key.capacity - 1));
    }
    return true;
}

bool ProjectReader::readValue(const ProjectKey& key, const std::string& qualifiedName,
                              const toml::node& node) {
    auto wrongType = [&] {
        return fail(node, qualifiedName + " must be " + expectedName(key.type) + ", not " + typeName(node));
    };
    std::string text;
    switch (key.type) {
    case ValueType::Text:
        if (!node.is_string())
            return wrongType();
        if (!readText(qualifiedName, node, key, &text))
            return false;
        break;
    case ValueType::Integer: {
        if (!node.is_integer())
            return wrongType();
        int64_t value = node.as_integer()->get();
        if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
            return fail(node, qualifiedName + " is out of the range of a 32-bit integer");
        text = std::to_string(value);
        break;
    }
    case ValueType::Flag:
        if (!node.is_boolean())
            return wrongType();
        text = node.as_boolean()->get() ? "1" : "0";
        break;
    case ValueType::Colour: {
        const toml::array* parts = node.as_array();
        if (parts == nullptr || parts->size() != 3)
            return wrongType();
        for (const toml::node& part : *parts) {
            if (!part.is_integer() || part.as_integer()->get() < 0 || part.as_integer()->get() > 255)
                return fail(part, qualifiedName + ": each colour part must be an integer from 0 to 255");
            text += (text.empty() ? "" : ",") + std::to_string(part.as_integer()->get());
        }
        break;
    }
    case ValueType::List:
        if (!readList(key, qualifiedName, node, &text))
            return false;
        break;
    case ValueType::Sha256: {
        const auto digest = node.value<std::string>();
        if (!digest || digest->size() != 64 ||
            digest->find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return wrongType();
        for (char c : *digest)
            text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        break;
    }
    case ValueType::Kind: {
        const auto kind = node.value<std::string>();
        if (!kind || (*kind != "launcher" && *kind != "installer"))
            return wrongType();
        text = *kind == "launcher" ? "k" : "s";
        break;
    }
    case ValueType::Message16: {
        if (!node.is_string())
            return wrongType();
        const std::string& utf8 = node.as_string()->get();
        if (!checkConversions(key, qualifiedName, node, utf8))
            return false;
        std::u16string wide;
        std::string why;
        if (!utf8ToUtf16(utf8, &wide, &why))
            return fail(node, qualifiedName + ": " + why);
        if (wide.find(u'\0') != std::u16string::npos)
            return fail(node, qualifiedName + " contains a NUL character, which ends a text in the launcher");
        if (wide.size() >= key.capacity)
            return fail(node, qualifiedName + " is too long for the launcher");
        messages_[key.id] = std::move(wide);
        return true;
    }
    case ValueType::Derived:
        return fail(node, "unknown key \"" + shownInMessage(qualifiedName) + "\"");
    }
    config_[key.id] = std::move(text);
    return true;
}

bool ProjectReader::readList(const ProjectKey& key, const std::string& qualifiedName, const toml::node& node,
                             std::string* text) {
    const toml::array* entries = node.as_array();
    if (entries == nullptr)
        return fail(node, qualifiedName + " must be " + expectedName(key.type) + ", not " + typeName(node));
    std::vector<std::string> parts;
    for (const toml::node& entry : *entries) {
        if (!entry.is_string())
            return fail(entry, qualifiedName + ": each entry must be a string, not " + typeName(entry));
        std::string part;
        if (!readText(qualifiedName, entry, key, &part))
            return false;
        if (part.empty() || part.find(';') != std::string::npos)
            return fail(entry, qualifiedName + ": an entry must not be empty nor contain ';'");
        if (key.entryRule == EntryRule::SearchEntry &&
            std::string("ABRSEY").find(part[0]) == std::string::npos)
            return fail(entry,
                        qualifiedName + ": \"" + shownInMessage(part) +
                            "\" must start with a location letter: A, B, R (directory), S (search path), "
                            "E (environment variable) or Y (registry)");
        if (key.entryRule == EntryRule::ClassPathEntry &&
            (part.size() < 3 || std::string("ADSE").find(part[0]) == std::string::npos))
            return fail(entry, qualifiedName + ": \"" + shownInMessage(part) +
                                   "\" must be a type letter (A, D, S or E), a required flag ('1' required, "
                                   "'0' optional) and a value");
        parts.push_back(std::move(part));
    }
    for (const std::string& part : parts)
        *text += (text->empty() ? "" : ";") + part;
    if (text->size() >= key.capacity)
        return fail(node, qualifiedName + " is too long for the launcher together");
    return true;
}

// A format message is handed to a printf-style call with fixed arguments; other conversions than
// those would read arguments that are not there.
bool ProjectReader::checkConversions(const ProjectKey& key, const std::string& qualifiedName,
                                     const toml::node& node, const std::string& text) {
    if (key.conversions == nullptr)
        return true;
    std::string found;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%')
            continue;
        size_t end = text.find_first_not_of("-+ #0123456789.", i + 1);
        if (end == std::string::npos)
            return fail(node, qualifiedName + ": a '%' at the end is not a complete conversion");
        if (text[end] != '%')
            found.push_back(text[end]);
        i = end;
    }
    if (found != key.conversions) {
        std::string expected;
        for (const char* c = key.conversions; *c != '\0'; ++c)
            expected += std::string(expected.empty() ? "" : ", ") + "%" + *c;
        return fail(node, qualifiedName + " must contain exactly the conversions " + expected +
                              " in this order (write %% for a percent sign)");
    }
    return true;
}

// Not a record of its own: it becomes the included file jre.tar.gz and the records 151 and 153.
bool ProjectReader::readBundledRuntime(const toml::node& node) {
    if (!node.is_string())
        return fail(node, "java.bundled_runtime must be a string, not " + std::string(typeName(node)));
    fs::path path = fs::path(baseDirectory_) / node.as_string()->get();
    std::error_code ignored;
    if (!fs::is_directory(path, ignored) && !fs::is_regular_file(path, ignored))
        return fail(node, "java.bundled_runtime: " + shownInMessage(path.string()) +
                              " is neither a runtime directory nor a runtime archive");
    bundledRuntime_ = path.string();
    return true;
}

bool ProjectReader::checkBundledRuntime() {
    if (bundledRuntime_.empty())
        return true;
    if (config_.count(payload::config::RuntimeArchiveSize) != 0 ||
        config_.count(payload::config::RuntimeIsPacked) != 0)
        return failWithoutLine("java.bundled_runtime_size and java.bundled_runtime_pack200 are derived from "
                               "java.bundled_runtime; leave them out");
    for (const IncludedFile& file : files_) {
        std::string lower = file.name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower == kRuntimeArchiveName)
            return failWithoutLine("included file " + file.sourcePath + " is named " + kRuntimeArchiveName +
                                   ", the name java.bundled_runtime ships the runtime under");
    }
    return true;
}

bool ProjectReader::readFiles(const toml::node& node) {
    const toml::array* entries = node.as_array();
    if (entries == nullptr)
        return fail(node, "files must be an array of file tables ([[files]]) or of source paths, not " +
                              std::string(typeName(node)));
    for (const toml::node& entry : *entries) {
        if (!readFileEntry(entry))
            return false;
    }
    return true;
}

bool ProjectReader::readFileEntry(const toml::node& entry) {
    const toml::node* sourceNode = &entry;
    const toml::node* nameNode = nullptr;
    if (const toml::table* table = entry.as_table()) {
        for (const auto& [key, value] : *table) {
            if (key.str() == "source")
                sourceNode = &value;
            else if (key.str() == "name")
                nameNode = &value;
            else
                return fail(value,
                            "unknown key \"" + shownInMessage("files." + std::string(key.str())) + "\"");
        }
        if (sourceNode == &entry)
            return fail(entry, "an included file needs a source path (files.source)");
    }
    if (!sourceNode->is_string())
        return fail(*sourceNode, "the source of an included file must be a string, not " +
                                     std::string(typeName(*sourceNode)));
    if (nameNode != nullptr && !nameNode->is_string())
        return fail(*nameNode, "files.name must be a string, not " + std::string(typeName(*nameNode)));

    const std::string& source = sourceNode->as_string()->get();
    fs::path sourcePath = fs::path(baseDirectory_) / source;
    std::error_code ignored;
    if (!fs::is_regular_file(sourcePath, ignored))
        return fail(*sourceNode, "included file " + shownInMessage(sourcePath.string()) +
                                     " does not exist or is not a file");

    const toml::node& nameOrigin = nameNode != nullptr ? *nameNode : *sourceNode;
    const std::string utf8Name =
        nameNode != nullptr ? nameNode->as_string()->get() : fs::path(source).filename().string();
    std::string name, why;
    if (!utf8ToCp1252(utf8Name, &name, &why) || !validateIncludedFileName(name, &why))
        return fail(nameOrigin, "included file " + shownInMessage(source) + ": " + why);
    files_.push_back(IncludedFile{name, sourcePath.string()});
    return true;
}

PackRequest ProjectReader::buildRequest() const {
    PackRequest request;
    for (const ProjectKey& key : projectKeys()) {
        if (key.type == ValueType::Derived)
            continue;
        if (key.type == ValueType::Message16) {
            auto given = messages_.find(key.id);
            std::u16string text;
            std::string ignored;
            if (given != messages_.end())
                text = given->second;
            else if (key.defaultText == nullptr || !utf8ToUtf16(key.defaultText, &text, &ignored))
                continue;
            request.tables.messages.emplace_back(key.id, std::move(text));
            continue;
        }
        auto given = config_.find(key.id);
        std::string text, ignored;
        if (given != config_.end())
            text = given->second;
        else if (key.defaultText == nullptr || !utf8ToCp1252(key.defaultText, &text, &ignored))
            continue;
        request.tables.config.emplace_back(key.id, std::move(text));
    }
    request.files = files_;
    request.bundledRuntime = bundledRuntime_;
    return request;
}

// toml++ 3.3 classifies some characters beyond ASCII as whitespace or not through a function that
// reaches __builtin_unreachable for them (outside texts, and inside multi-line texts after a
// line-ending backslash). Before parsing, each such character is swapped for one of a private-use
// block that the function handles, and swapped back in every text afterwards; a file that holds
// characters of that block itself is refused.
struct MaskedRange {
    char32_t first, last, placeholder;
};
constexpr MaskedRange kMaskedRanges[] = {
    {0xA1, 0x499, 0xE000}, {0x2C5E, 0x3057, 0xE400}, {0xFB26, 0xFEFE, 0xE800}};
constexpr char32_t kPlaceholderFirst = 0xE000, kPlaceholderLast = 0xEBFF;

// The code point at text[i] and its length in bytes; 0 for a malformed or overlong sequence.
size_t decodeUtf8(const std::string& text, size_t i, char32_t* codePoint) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = lead < 0x80                   ? 1
                    : lead >= 0xC2 && lead < 0xE0 ? 2
                    : lead >= 0xE0 && lead < 0xF0 ? 3
                    : lead >= 0xF0 && lead < 0xF5 ? 4
                                                  : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *codePoint = value;
    return length;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Rewrites text character by character through swap; malformed bytes are kept for the parser to
// report. Returns the offset of the first character swap refuses, or npos.
template <typename Swap> size_t rewriteUtf8(std::string& text, Swap swap) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t c = 0;
        const size_t length = decodeUtf8(text, i, &c);
        if (length <= 1) {
            out += text[i++];
            continue;
        }
        if (!swap(&c))
            return i;
        appendUtf8(out, c);
        i += length;
    }
    text.swap(out);
    return std::string::npos;
}

size_t maskForParser(std::string& text) {
    return rewriteUtf8(text, [](char32_t* c) {
        if (*c >= kPlaceholderFirst && *c <= kPlaceholderLast)
            return false;
        for (const MaskedRange& range : kMaskedRanges) {
            if (*c >= range.first && *c <= range.last && *c != 0x3000) {
                *c = range.placeholder + (*c - range.first);
                break;
            }
        }
        return true;
    });
}

void unmask(std::string& text) {
    rewriteUtf8(text, [](char32_t* c) {
        for (const MaskedRange& range : kMaskedRanges) {
            if (*c >= range.placeholder && *c <= range.placeholder + (range.last - range.first)) {
                *c = range.first + (*c - range.placeholder);
                break;
            }
        }
        return true;
    });
}

void unmaskTexts(toml::node& node) {
    if (toml::table* table = node.as_table()) {
        for (auto&& [key, value] : *table)
            unmaskTexts(value);
    } else if (toml::array* array = node.as_array()) {
        for (toml::node& entry : *array)
            unmaskTexts(entry);
    } else if (toml::value<std::string>* text = node.as_string()) {
        unmask(text->get());
    }
}

} // namespace

bool parseProjectText(const std::string& text, const std::string& sourceName,
                      const std::string& baseDirectory, PackRequest* request, std::string* error) {
    std::string masked = text;
    const size_t refused = maskForParser(masked);
    if (refused != std::string::npos) {
        const size_t lineStart = text.rfind('\n', refused);
        const size_t line = 1 + std::count(text.begin(), text.begin() + refused, '\n');
        const size_t column = refused - (lineStart == std::string::npos ? 0 : lineStart + 1) + 1;
        *error = sourceName + ":" + std::to_string(line) + ":" + std::to_string(column) +
                 ": characters U+E000 to U+EBFF (private use) are not accepted in a project file";
        return false;
    }
    toml::table root;
    try {
        root = toml::parse(masked, sourceName);
    } catch (const toml::parse_error& failure) {
        std::ostringstream message;
        message << sourceName << ":" << failure.source().begin.line << ":" << failure.source().begin.column
                << ": " << shownInMessage(std::string(failure.description()));
        *error = message.str();
        unmask(*error);
        return false;
    }
    unmaskTexts(root);
    if (ProjectReader(sourceName, baseDirectory).read(root, request, error))
        return true;
    unmask(*error); // keys are not swapped back in the tree
    return false;
}

bool loadProjectFile(const std::string& path, PackRequest* request, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open project file " + path;
        return false;
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    std::string baseDirectory = fs::path(path).parent_path().string();
    return parseProjectText(contents.str(), path, baseDirectory.empty() ? "." : baseDirectory, request,
                            error);
}

} // namespace kestro::packer
