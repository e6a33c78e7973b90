#include "project/project_file.h"

#include "executable/manifest_check.h"
#include "executable/picture_resource.h"
#include "executable/version_resource.h"
#include "names/windows_names.h"
#include "payload/payload_format.h"
#include "project/jar_contents.h"
#include "project/project_keys.h"
#include "runtime/version_rules.h"
#include "support/file_io.h"
#include "support/text_encoding.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <glob.h>
#include <iterator>
#include <limits>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <toml++/toml.h>
#include <utility>

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
    bool readIcon(const toml::node& node);
    bool readVersion(const toml::node& node);
    bool readNamedFile(const toml::node& node, const std::string& key, const char* what, std::string* bytes,
                       std::string* shown);
    bool readPicture(const toml::node& node);
    bool pictureSide(int32_t id, std::string* text) const;
    bool defaultOf(const ProjectKey& key, std::string* utf8) const;
    bool readManifest(const toml::node& node);
    bool checkBundledRuntime();
    bool readFiles(const toml::node& node);
    bool readFileEntry(const toml::node& entry);
    bool expandSource(const toml::node& sourceNode, std::vector<fs::path>* paths, bool* single);
    bool addFile(const toml::node& origin, const std::string& name, const fs::path& sourcePath,
                 const std::string& shownSource);
    bool checkVersion(const ProjectKey& key, const toml::node& node, const std::string& text);
    bool checkVersionBounds();
    bool checkMainClass();
    bool checkDownload();
    void warnAboutVersionsOfOneJar();
    void warnAboutClassVersion(const toml::node& origin, const std::string& jarPath,
                               const std::string& className);
    void warnUnquotedPathVariables(const toml::node& node, const std::string& text);
    bool checkConversions(const ProjectKey& key, const std::string& qualifiedName, const toml::node& node,
                          const std::string& text);
    PackRequest buildRequest(); // moves the resources out

    std::string sourceName_;
    std::string baseDirectory_;
    std::set<std::string> knownSections_;
    std::map<int32_t, std::string> config_;
    std::map<int32_t, std::u16string> messages_;
    std::map<int32_t, const toml::node*> nodes_; // where each configuration value was given
    std::vector<IncludedFile> files_;
    std::map<std::string, std::string> sourceOfName_; // folded included name: its source path
    const toml::node* mainJarNode_ = nullptr;
    const toml::node* insecureDownloadNode_ = nullptr; // java.allow_insecure_download
    std::string bundledRuntime_;
    std::string iconPath_;
    std::string versionResource_;
    std::string pictureResource_;
    std::string manifest_;
    std::vector<std::pair<std::string, std::string>> inputFiles_; // what each file is, its path
    std::vector<std::string> warnings_;
    std::string error_;

  public:
    // Keys that name a file the packer reads: no record of their own.
    static constexpr std::pair<const char*, bool (ProjectReader::*)(const toml::node&)> kFileKeys[] = {
        {"application.icon", &ProjectReader::readIcon},
        {"application.manifest", &ProjectReader::readManifest},
        {"splash.picture", &ProjectReader::readPicture},
        {"java.bundled_runtime", &ProjectReader::readBundledRuntime},
    };
};

// Keys of the packer alone, which set no record either.
constexpr const char* kPackerKeys[] = {
    "application.main_jar", "java.allow_insecure_download", "files.source",
    "files.name",           "version.file_version",         "version.product_version",
    "version.product_name", "version.company_name",         "version.file_description",
    "version.copyright",    "version.original_filename"};

// Every key and table a project file may have, qualified ("application.main_class", "splash.status";
// top-level ones unqualified).
std::vector<std::string> knownNames() {
    std::vector<std::string> known = {"files", "version"};
    for (const ProjectKey& key : projectKeys()) {
        if (key.type == ValueType::Derived)
            continue;
        known.push_back(std::string(key.section) + "." + key.name);
        for (std::string section = key.section;; section.erase(section.rfind('.'))) {
            known.push_back(section);
            if (section.find('.') == std::string::npos)
                break;
        }
    }
    for (const auto& fileKey : ProjectReader::kFileKeys)
        known.emplace_back(fileKey.first);
    known.insert(known.end(), std::begin(kPackerKeys), std::end(kPackerKeys));
    std::sort(known.begin(), known.end());
    known.erase(std::unique(known.begin(), known.end()), known.end());
    return known;
}

// The edits (a letter added, dropped, changed, or two swapped) that turn a into b.
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min(
                {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// What to add to "unknown key" for name in section ("" for the top level): the key of that table
// closest to it, or the table where a key of that name belongs.
std::string suggestion(const std::string& section, const std::string& name) {
    if (name.size() > 64)
        return "";
    const std::string prefix = section.empty() ? "" : section + ".";
    std::string closest;
    size_t best = std::max<size_t>(1, std::min<size_t>(2, name.size() / 3)) + 1;
    for (const std::string& known : knownNames()) {
        if (known.compare(0, prefix.size(), prefix) != 0 ||
            known.find('.', prefix.size()) != std::string::npos)
            continue;
        const size_t distance = editDistance(name, known.substr(prefix.size()));
        if (distance < best) {
            best = distance;
            closest = known;
        }
    }
    if (!closest.empty())
        return "; did you mean \"" + closest + "\"?";
    if (name == "files" || name == "version")
        return "; " + name +
               " is a top-level key: write it before the first [table] line, whose keys "
               "follow it until the next one";
    for (const std::string& known : knownNames()) {
        const size_t dot = known.rfind('.');
        if (dot != std::string::npos && known.compare(dot + 1, std::string::npos, name) == 0 &&
            known.compare(0, dot, section) != 0)
            return "; \"" + name + "\" is a key of [" + known.substr(0, dot) + "]";
    }
    return "";
}

std::string where(const std::string& sourceName, const toml::node& node) {
    // A value from the command line has no place in the file.
    if (node.source().begin.line == 0)
        return sourceName + " (--set)";
    return sourceName + ":" + std::to_string(node.source().begin.line) + ":" +
           std::to_string(node.source().begin.column);
}

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
    error_ = where(sourceName_, node) + ": " + message;
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
        else if (name == "version")
            ok = readVersion(it->second);
        else if (knownSections_.count(name) != 0 && it->second.is_table())
            ok = readSection(name, *it->second.as_table());
        else if (knownSections_.count(name) != 0)
            ok = fail(it->second,
                      "\"" + shownInMessage(name) + "\" must be a table, not " + typeName(it->second));
        else
            ok = fail(it->second,
                      "unknown key or table \"" + shownInMessage(name) + "\"" + suggestion("", name));
    }
    if (ok)
        ok = checkBundledRuntime() && checkVersionBounds() && checkMainClass() && checkDownload();
    if (ok)
        warnAboutVersionsOfOneJar();
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
        const auto fileKey = std::find_if(std::begin(kFileKeys), std::end(kFileKeys),
                                          [&](const auto& entry) { return qualifiedName == entry.first; });
        if (fileKey != std::end(kFileKeys)) {
            if (!(this->*fileKey->second)(node))
                return false;
            continue;
        }
        // Not a record: it allows a download the launcher cannot check.
        if (qualifiedName == "java.allow_insecure_download") {
            if (!node.is_boolean())
                return fail(node, "java.allow_insecure_download must be a boolean (true or false), not " +
                                      std::string(typeName(node)));
            insecureDownloadNode_ = &node;
            continue;
        }
        // Not a record either: it names the jar whose manifest gives the main class.
        if (qualifiedName == "application.main_jar") {
            if (!node.is_string())
                return fail(node,
                            "application.main_jar must be a string, not " + std::string(typeName(node)));
            mainJarNode_ = &node;
            continue;
        }
        const ProjectKey* known = findKey(section.c_str(), name.c_str());
        if (known == nullptr || known->type == ValueType::Derived)
            return fail(node,
                        "unknown key \"" + shownInMessage(qualifiedName) + "\"" + suggestion(section, name));
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
        if (!readText(qualifiedName, node, key, &text) || !checkVersion(key, node, text))
            return false;
        if (key.id == payload::config::VmParameters)
            warnUnquotedPathVariables(node, text);
        break;
    case ValueType::Integer: {
        if (!node.is_integer())
            return wrongType();
        int64_t value = node.as_integer()->get();
        if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
            return fail(node, qualifiedName + " is out of the range of a 32-bit integer");
        // Every integer key is a size, a position, a count or a weight.
        if (value < 0)
            return fail(node, qualifiedName + " must not be negative");
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
    nodes_[key.id] = &node;
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
                              " is neither a runtime directory nor a runtime archive (" +
                              whyNotReadable(path.string(), true) + ")");
    bundledRuntime_ = path.string();
    return true;
}

// Not a record: the icon file replaces the launcher's icon resources.
bool ProjectReader::readIcon(const toml::node& node) {
    if (!node.is_string())
        return fail(node, "application.icon must be a string, not " + std::string(typeName(node)));
    const fs::path path = fs::path(baseDirectory_) / node.as_string()->get();
    std::error_code ignored;
    if (!fs::is_regular_file(path, ignored))
        return fail(node, "application.icon: cannot read " + shownInMessage(path.string()) + ": " +
                              whyNotReadable(path.string()));
    iconPath_ = path.string();
    return true;
}

// Reads the file that the string key names (relative to the project's directory) into bytes and
// notes it as what, an input the output must not replace; shown becomes "key: path" for messages.
bool ProjectReader::readNamedFile(const toml::node& node, const std::string& key, const char* what,
                                  std::string* bytes, std::string* shown) {
    if (!node.is_string())
        return fail(node, key + " must be a string, not " + std::string(typeName(node)));
    const fs::path path = fs::path(baseDirectory_) / node.as_string()->get();
    *shown = key + ": " + shownInMessage(path.string());
    std::string why;
    if (!readWholeFile(path.string(), bytes, &why))
        return fail(node, key + ": " + why);
    inputFiles_.emplace_back(what, path.string());
    return true;
}

// Not a record: the picture becomes the bitmap resource the splash window shows.
bool ProjectReader::readPicture(const toml::node& node) {
    std::string file, shown, why;
    if (!readNamedFile(node, "splash.picture", "the splash picture", &file, &shown))
        return false;
    if (!buildPictureResource(file, &pictureResource_, &why))
        return fail(node, shown + ": " + why);
    return true;
}

// Not a record: the project's own manifest replaces the launcher's. Windows refuses to start a program
// whose manifest it cannot parse, so the plainest faults are caught here.
bool ProjectReader::readManifest(const toml::node& node) {
    std::string text, shown, why;
    if (!readNamedFile(node, "application.manifest", "the manifest", &text, &shown))
        return false;
    std::u16string ignored;
    if (!utf8ToUtf16(text, &ignored, &why) || text.find('\0') != std::string::npos)
        return fail(node, shown + " is not UTF-8 text");
    if (!checkManifest(text, &why))
        return fail(node, shown + " " + why + "; Windows would refuse to start the launcher");
    manifest_ = std::move(text);
    return true;
}

// Not records: the [version] table becomes the launcher's version information resource.
bool ProjectReader::readVersion(const toml::node& node) {
    static const std::pair<const char*, const char*> kTexts[] = {{"product_name", "ProductName"},
                                                                 {"company_name", "CompanyName"},
                                                                 {"file_description", "FileDescription"},
                                                                 {"copyright", "LegalCopyright"},
                                                                 {"original_filename", "OriginalFilename"}};
    const toml::table* table = node.as_table();
    if (table == nullptr)
        return fail(node, "\"version\" must be a table, not " + std::string(typeName(node)));
    VersionInfo info;
    std::map<std::string, std::string> given;
    std::string why;
    for (const auto& [key, value] : *table) {
        const std::string name(key.str());
        bool known = name == "file_version" || name == "product_version";
        for (const auto& text : kTexts)
            known = known || name == text.first;
        if (!known)
            return fail(value,
                        "unknown key \"version." + shownInMessage(name) + "\"" + suggestion("version", name));
        if (!value.is_string())
            return fail(value, "version." + name + " must be a string, not " + std::string(typeName(value)));
        const std::string& text = value.as_string()->get();
        if (text.find('\0') != std::string::npos)
            return fail(value, "version." + name + " contains a NUL character, which ends a text in Windows");
        if (name == "file_version" && !checkFileVersion(text, &why))
            return fail(value, "version.file_version " + why);
        given[name] = text;
    }
    if (given.count("file_version") == 0)
        return fail(node, "version.file_version is required in [version]");
    info.fileVersion = given["file_version"];
    info.productVersion = given.count("product_version") ? given["product_version"] : info.fileVersion;
    info.strings.emplace_back("FileVersion", info.fileVersion);
    info.strings.emplace_back("ProductVersion", info.productVersion);
    for (const auto& [key, windowsName] : kTexts) {
        if (given.count(key) != 0)
            info.strings.emplace_back(windowsName, given[key]);
    }
    if (!buildVersionResource(info, &versionResource_, &why))
        return fail(node, "version: " + why);
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
        if (names::folded(file.name) == names::folded(kRuntimeArchiveName))
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
                return fail(value, "unknown key \"" + shownInMessage("files." + std::string(key.str())) +
                                       "\"" + suggestion("files", std::string(key.str())));
        }
        if (sourceNode == &entry)
            return fail(entry, "an included file needs a source path (files.source)");
    }
    if (!sourceNode->is_string())
        return fail(*sourceNode, "the source of an included file must be a string, not " +
                                     std::string(typeName(*sourceNode)));
    if (nameNode != nullptr && !nameNode->is_string())
        return fail(*nameNode, "files.name must be a string, not " + std::string(typeName(*nameNode)));

    std::vector<fs::path> paths;
    bool single = true;
    if (!expandSource(*sourceNode, &paths, &single))
        return false;
    if (nameNode != nullptr && !single)
        return fail(*nameNode, "files.name renames one file; " +
                                   shownInMessage(sourceNode->as_string()->get()) +
                                   " is a pattern or a directory");
    for (const fs::path& path : paths) {
        const std::string utf8Name =
            nameNode != nullptr ? nameNode->as_string()->get() : path.filename().string();
        if (!addFile(nameNode != nullptr ? *nameNode : *sourceNode, utf8Name, path,
                     single ? sourceNode->as_string()->get() : path.string()))
            return false;
    }
    return true;
}

// A source is a file, a directory (its regular files that are not hidden, not those of its
// subdirectories, since names in the extraction directory are plain), or a glob pattern; expansions are
// sorted by name so that the same inputs always give the same launcher.
bool ProjectReader::expandSource(const toml::node& sourceNode, std::vector<fs::path>* paths, bool* single) {
    const std::string& source = sourceNode.as_string()->get();
    const fs::path sourcePath = fs::path(baseDirectory_) / source;
    std::error_code failure;
    *single = false;
    if (source.find_first_of("*?[") != std::string::npos) {
        std::string pattern;
        if (fs::path(source).is_relative()) {
            for (char c : baseDirectory_ + "/") {
                if (std::strchr("*?[\\", c) != nullptr)
                    pattern += '\\';
                pattern += c;
            }
        }
        pattern += source;
        glob_t found{};
        const int result = glob(pattern.c_str(), GLOB_NOSORT, nullptr, &found);
        for (size_t i = 0; result == 0 && i < found.gl_pathc; ++i) {
            if (fs::is_regular_file(found.gl_pathv[i], failure))
                paths->emplace_back(found.gl_pathv[i]);
        }
        globfree(&found);
        if (result != 0 && result != GLOB_NOMATCH)
            return fail(sourceNode, "cannot expand the pattern " + shownInMessage(source));
        if (paths->empty())
            return fail(sourceNode, "the pattern " + shownInMessage(source) + " matches no file");
    } else if (fs::is_directory(sourcePath, failure)) {
        for (fs::directory_iterator it(sourcePath, failure), end; !failure && it != end;
             it.increment(failure)) {
            // Hidden files (".gitkeep") stay out, as a pattern's "*" leaves them out.
            if (it->is_regular_file() && it->path().filename().string()[0] != '.')
                paths->push_back(it->path());
        }
        if (failure)
            return fail(sourceNode,
                        "cannot list the directory " + sourcePath.string() + ": " + failure.message());
        if (paths->empty())
            return fail(sourceNode, "the directory " + sourcePath.string() + " holds no file");
    } else if (fs::is_regular_file(sourcePath, failure)) {
        paths->push_back(sourcePath);
        *single = true;
    } else {
        return fail(sourceNode, "included file " + shownInMessage(sourcePath.string()) +
                                    " cannot be read: " + whyNotReadable(sourcePath.string()));
    }
    std::sort(paths->begin(), paths->end());
    return true;
}

bool ProjectReader::addFile(const toml::node& origin, const std::string& utf8Name, const fs::path& sourcePath,
                            const std::string& shownSource) {
    std::string name, why;
    if (!utf8ToCp1252(utf8Name, &name, &why) || !validateIncludedFileName(name, &why))
        return fail(origin, "included file " + shownInMessage(shownSource) + ": " + why);
    const auto [earlier, added] = sourceOfName_.emplace(names::folded(name), sourcePath.string());
    if (!added)
        return fail(origin, "the included file name \"" + name + "\" is used twice, by " + earlier->second +
                                " and by " + sourcePath.string() +
                                "; Windows does not tell these names apart");
    files_.push_back(IncludedFile{name, sourcePath.string()});
    return true;
}

// Digits, dots and underscores, then an optional pre-release suffix: "1.8", "1.8.0_45", "17-ea".
bool ProjectReader::checkVersion(const ProjectKey& key, const toml::node& node, const std::string& text) {
    // An empty bound is no bound: a project lowers the default minimum that way, knowingly.
    if ((key.id != payload::config::MinimumVersion && key.id != payload::config::MaximumVersion) ||
        text.empty())
        return true;
    size_t i = 0;
    bool digitExpected = true;
    for (; i < text.size() && text[i] != '-'; ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (!digit && (digitExpected || (text[i] != '.' && text[i] != '_')))
            break;
        digitExpected = !digit;
    }
    const bool suffixFine =
        i == text.size() || (text[i] == '-' && i + 1 < text.size() &&
                             text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN"
                                                    "OPQRSTUVWXYZ0123456789._-",
                                                    i + 1) == std::string::npos);
    if (digitExpected || !suffixFine)
        return fail(node, std::string("java.") + key.name + " \"" + text +
                              "\" is not a Java version: digits separated by '.' or '_', with an optional "
                              "suffix such as \"-ea\" (\"1.8\", \"1.8.0_45\", \"17\")");
    return true;
}

bool ProjectReader::checkVersionBounds() {
    const auto minimum = config_.find(payload::config::MinimumVersion);
    const auto maximum = config_.find(payload::config::MaximumVersion);
    if (minimum == config_.end() || maximum == config_.end())
        return true;
    // The launcher's own rule decides: some runtime fits when the minimum itself passes both bounds.
    if (!minimum->second.empty() && !maximum->second.empty() &&
        !isVersionWithinBounds(minimum->second.c_str(), minimum->second.c_str(), maximum->second.c_str()))
        return fail(*nodes_.at(payload::config::MaximumVersion),
                    "java.max_version " + maximum->second + " is below java.min_version " + minimum->second +
                        "; no Java runtime could be chosen");
    return true;
}

bool ProjectReader::checkMainClass() {
    std::vector<const IncludedFile*> jars;
    for (const IncludedFile& file : files_) {
        const std::string name = names::folded(file.name);
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".JAR") == 0)
            jars.push_back(&file);
    }
    const auto given = nodes_.find(payload::config::MainClass);
    if (given != nodes_.end() &&
        config_[payload::config::MainClass].find_first_of("/\\") != std::string::npos) {
        std::string dotted = config_[payload::config::MainClass];
        std::replace(dotted.begin(), dotted.end(), '/', '.');
        std::replace(dotted.begin(), dotted.end(), '\\', '.');
        return fail(*given->second, "application.main_class \"" +
                                        cp1252ToUtf8(config_[payload::config::MainClass]) +
                                        "\" is written with slashes, which no class name has; write \"" +
                                        cp1252ToUtf8(dotted) + "\"");
    }
    if (mainJarNode_ != nullptr) {
        const std::string& givenJar = mainJarNode_->as_string()->get();
        std::string givenName, unused; // included names are in code page 1252
        const bool convertible = utf8ToCp1252(givenJar, &givenName, &unused);
        const auto named = std::find_if(jars.begin(), jars.end(), [&](const IncludedFile* jar) {
            std::error_code ignored;
            return (convertible && names::folded(jar->name) == names::folded(givenName)) ||
                   fs::equivalent(fs::path(baseDirectory_) / givenJar, jar->sourcePath, ignored);
        });
        if (named == jars.end())
            return fail(*mainJarNode_,
                        "application.main_jar \"" + givenJar + "\" is none of the included jars");
        JarContents contents;
        std::string why;
        if (!readJar((*named)->sourcePath, &contents, &why))
            return fail(*mainJarNode_, "application.main_jar: " + why);
        if (config_.count(payload::config::MainClass) == 0) {
            if (contents.mainClass.empty())
                return fail(*mainJarNode_,
                            "application.main_jar: " + (*named)->sourcePath +
                                " has no Main-Class in its manifest; give application.main_class");
            // The manifest is UTF-8, the record code page 1252; java -jar reads slashes as dots too.
            std::string mainClass = contents.mainClass;
            std::replace(mainClass.begin(), mainClass.end(), '/', '.');
            if (!utf8ToCp1252(mainClass, &config_[payload::config::MainClass], &why))
                return fail(*mainJarNode_, "application.main_jar: the Main-Class " + mainClass + " of " +
                                               (*named)->sourcePath + ": " + why);
        }
    }
    const auto mainClass = config_.find(payload::config::MainClass);
    if (mainClass == config_.end())
        return failWithoutLine("application.main_class is required (or application.main_jar, whose manifest "
                               "names it): the launcher has nothing to start without it");
    const toml::node* origin = given != nodes_.end() ? given->second : mainJarNode_;
    // Jars name their entries in UTF-8.
    const std::string className = cp1252ToUtf8(mainClass->second);

    std::string searched;
    bool anyRead = false;
    for (const IncludedFile* jar : jars) {
        JarContents contents;
        std::string why;
        if (!readJar(jar->sourcePath, &contents, &why)) {
            warnings_.push_back(why + "; its classes were not searched for the main class");
            continue;
        }
        if (jarHoldsClass(contents, className)) {
            warnAboutClassVersion(*origin, jar->sourcePath, className);
            return true;
        }
        anyRead = true;
        searched += (searched.empty() ? "" : ", ") + jar->sourcePath;
    }
    if (!anyRead)
        return true; // the classes come from elsewhere (vm.class_path), out of the packer's sight
    const std::string message =
        "the main class " + className + " is in none of the included jars (" + searched + ")";
    if (config_.count(payload::config::ClassPath) != 0) {
        warnings_.push_back(message + "; it must come from vm.class_path");
        return true;
    }
    return fail(*origin, message);
}

// The launcher downloads a runtime over HTTP or HTTPS, unpacks it and loads its jvm.dll into the
// process: an archive replaced on the way runs code on the user's machine. A plain http:// location
// needs the archive's digest (or the project's explicit acceptance of the risk); an https:// one
// without it is trusted to the server alone.
bool ProjectReader::checkDownload() {
    const auto location = config_.find(payload::config::DownloadUrl);
    if (location == config_.end() || location->second.empty())
        return true;
    const toml::node& node = *nodes_.at(payload::config::DownloadUrl);
    const std::string& url = location->second;
    const std::string scheme = names::folded(url.substr(0, url.find("://")));
    const size_t hostStart = url.find("://") == std::string::npos ? std::string::npos : url.find("://") + 3;
    if ((scheme != "HTTP" && scheme != "HTTPS") || hostStart >= url.size() || url[hostStart] == '/')
        return fail(node, "java.download_url \"" + shownInMessage(cp1252ToUtf8(url)) +
                              "\" is no location the launcher can fetch: it downloads http:// and https:// "
                              "locations with a server name (https://example.com/jre.tar.gz)");
    if (config_.count(payload::config::DownloadSha256) != 0)
        return true;
    const bool allowed = insecureDownloadNode_ != nullptr && insecureDownloadNode_->as_boolean()->get();
    if (scheme == "HTTP" && !allowed)
        return fail(node,
                    "java.download_url is a plain http:// location without java.download_sha256: anyone "
                    "on the network path could replace the runtime the launcher then runs. Give the "
                    "archive's SHA-256 as download_sha256, use https://, or accept the risk with "
                    "java.allow_insecure_download = true");
    warnings_.push_back(where(sourceName_, node) + ": java.download_url " +
                        (scheme == "HTTP" ? std::string("is a plain http:// location, allowed unchecked by "
                                                        "java.allow_insecure_download")
                                          : std::string("has no java.download_sha256: a damaged or replaced "
                                                        "archive is found out only when it fails to start")) +
                        "; give the archive's SHA-256 as download_sha256");
    return true;
}

// Build tools name a jar after its artifact and version ("commons-io-2.11.0.jar"); a folder or
// pattern that takes in two versions of one artifact has picked up a jar a newer build left beside
// an older one, and both land on the class path, the older first when it sorts first.
void ProjectReader::warnAboutVersionsOfOneJar() {
    // The artifact as long as a version still follows: "log4j-1.2-api" of "log4j-1.2-api-2.17.1.jar".
    static const std::regex versioned(R"(^(.+)-([0-9]+(\.[0-9]+)*([-.][A-Za-z0-9]+)*)\.[jJ][aA][rR]$)");
    std::map<std::string, std::vector<std::string>> byArtifact;
    for (const IncludedFile& file : files_) {
        std::smatch parts;
        if (std::regex_match(file.name, parts, versioned))
            byArtifact[names::folded(parts[1].str())].push_back(file.name);
    }
    for (const auto& [artifact, jars] : byArtifact) {
        if (jars.size() < 2)
            continue;
        std::string listed;
        for (size_t i = 0; i < jars.size(); ++i)
            listed += (i == 0 ? "" : i + 1 == jars.size() ? " and " : ", ") + cp1252ToUtf8(jars[i]);
        warnings_.push_back(sourceName_ + ": the included jars " + listed +
                            " are versions of one artifact; " +
                            "a jar of an earlier build left beside a newer one? Both go on the class path, " +
                            cp1252ToUtf8(jars.front()) + " first");
    }
}

// A runtime older than the one the main class was compiled for refuses to load it: the launcher would
// pick one that passes java.min_version and fail at the user's desk.
void ProjectReader::warnAboutClassVersion(const toml::node& origin, const std::string& jarPath,
                                          const std::string& className) {
    constexpr int kJava5ClassFile = 49; // class file versions count on from Java 1.0's 45
    int major = 0;
    if (!classFileVersion(jarPath, className, &major) || major < kJava5ClassFile)
        return;
    const std::string needed = major <= 52 ? "1." + std::to_string(major - 44) : std::to_string(major - 44);
    const std::string minimum = config_.count(payload::config::MinimumVersion) != 0
                                    ? config_[payload::config::MinimumVersion]
                                    : findKeyById(payload::config::MinimumVersion, false)->defaultText;
    if (!minimum.empty() && compareVersions(minimum.c_str(), needed.c_str()) >= 0)
        return;
    warnings_.push_back(
        where(sourceName_, origin) + ": the main class " + className + " in " + jarPath +
        " is compiled for Java " + needed + " (class file version " + std::to_string(major) +
        "), but java.min_version " + (minimum.empty() ? std::string("sets no minimum") : "is " + minimum) +
        ": an older Java the launcher may choose cannot load it; set java.min_version = \"" + needed + "\"");
}

// The launcher expands variables before it splits the parameters at blanks, so a path with a blank
// in it splits one parameter into two unless the variable stands inside double quotes.
void ProjectReader::warnUnquotedPathVariables(const toml::node& node, const std::string& text) {
    static const char* const pathTokens[] = {"%KESTRO_EXEDIR%",
                                             "%SORVANA_EXEDIR%",
                                             "%KESTRO_TEMPDIR%",
                                             "%SORVANA_TEMPDIR%",
                                             "%KESTRO_JVM_HOME%",
                                             "%SORVANA_JVM_HOME%",
                                             "${KESTRO_EXEDIR}",
                                             "${SORVANA_EXEDIR}",
                                             "${KESTRO_TEMPDIR}",
                                             "${SORVANA_TEMPDIR}",
                                             "${KESTRO_JVM_HOME}",
                                             "${SORVANA_JVM_HOME}",
                                             "${launcher:sys.launcherDirectory}",
                                             "${launcher:sys.launcherTempDirectory}",
                                             "${launcher:sys.jvmHome}"};
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            quoted = !quoted;
            continue;
        }
        for (const char* token : pathTokens) {
            if (!quoted && text.compare(i, std::strlen(token), token) == 0) {
                warnings_.push_back(where(sourceName_, node) + ": vm.parameters: " + token +
                                    " stands outside double quotes; a path with a blank would split the "
                                    "parameter in two. Write it as \"-Dname=\\\"" +
                                    token + "\\\"\"");
                return;
            }
        }
    }
}

// The splash is as large as its picture unless the project says otherwise.
bool ProjectReader::pictureSide(int32_t id, std::string* text) const {
    uint32_t width = 0, height = 0;
    if ((id != payload::config::SplashWidth && id != payload::config::SplashHeight) ||
        !pictureSize(pictureResource_, &width, &height))
        return false;
    *text = std::to_string(id == payload::config::SplashWidth ? width : height);
    return true;
}

// The default of key as UTF-8, with what it takes from other keys: the application's name for the
// captions, the accepted Java versions in words for the questions. False when the key has none.
bool ProjectReader::defaultOf(const ProjectKey& key, std::string* utf8) const {
    const auto given = [this](int32_t id) {
        const auto found = config_.find(id);
        if (found != config_.end())
            return found->second;
        const ProjectKey* other = findKeyById(id, false);
        return std::string(other != nullptr && other->defaultText != nullptr ? other->defaultText : "");
    };
    const std::string name = given(payload::config::ApplicationName);
    if (namedDefault(key) && !name.empty()) {
        *utf8 = cp1252ToUtf8(name);
        return true;
    }
    if (key.defaultText == nullptr)
        return false;
    *utf8 = key.defaultText;
    const size_t placeholder = utf8->find(kVersionsPlaceholder);
    if (placeholder != std::string::npos) {
        // The text is a format: a percent sign of a version must not start a conversion.
        std::string versions;
        for (char c : describeVersionRange(given(payload::config::MinimumVersion).c_str(),
                                           given(payload::config::MaximumVersion).c_str()))
            versions += c == '%' ? "%%" : std::string(1, c);
        utf8->replace(placeholder, std::strlen(kVersionsPlaceholder), cp1252ToUtf8(versions));
    }
    return true;
}

PackRequest ProjectReader::buildRequest() {
    PackRequest request;
    for (const ProjectKey& key : projectKeys()) {
        if (key.type == ValueType::Derived)
            continue;
        std::string utf8, ignored;
        if (key.type == ValueType::Message16) {
            auto given = messages_.find(key.id);
            std::u16string text;
            if (given != messages_.end())
                text = given->second;
            else if (!defaultOf(key, &utf8) || !utf8ToUtf16(utf8, &text, &ignored))
                continue;
            request.tables.messages.emplace_back(key.id, std::move(text));
            continue;
        }
        auto given = config_.find(key.id);
        std::string text;
        if (given != config_.end())
            text = given->second;
        else if (pictureSide(key.id, &text))
            ;
        else if (!defaultOf(key, &utf8) || !utf8ToCp1252(utf8, &text, &ignored))
            continue;
        request.tables.config.emplace_back(key.id, std::move(text));
    }
    request.files = files_;
    request.bundledRuntime = bundledRuntime_;
    request.iconPath = iconPath_;
    if (!versionResource_.empty())
        request.resources[resource_type::Version][1][kUsEnglish].bytes = std::move(versionResource_);
    if (!manifest_.empty())
        request.resources[resource_type::Manifest][1][kUsEnglish].bytes = std::move(manifest_);
    if (!pictureResource_.empty())
        request.resources[resource_type::Bitmap][kSplashPictureId][kUsEnglish].bytes =
            std::move(pictureResource_);
    request.inputFiles = inputFiles_;
    request.warnings = warnings_;
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

// Parser messages are shown whole; the bound only keeps a hostile file from filling the terminal.
constexpr size_t kParserMessageLimit = 400;

// Puts each value given on the command line into root, as if the project file said it: a key that
// takes a string gets the text as it is, any other key the TOML value the text spells.
bool setValues(toml::table* root, const std::vector<ProjectValue>& values, std::string* error) {
    const std::vector<std::string> known = knownNames();
    for (const ProjectValue& value : values) {
        const size_t dot = value.key.rfind('.');
        const std::string section = dot == std::string::npos ? "" : value.key.substr(0, dot);
        const std::string name = value.key.substr(dot == std::string::npos ? 0 : dot + 1);
        const auto inside = std::find_if(known.begin(), known.end(), [&](const std::string& other) {
            return other.compare(0, value.key.size() + 1, value.key + ".") == 0;
        });
        if (inside != known.end()) {
            *error = "--set " + value.key + ": " + value.key + " is a table; set one of its keys, such as " +
                     *inside;
            return false;
        }
        if (!std::binary_search(known.begin(), known.end(), value.key)) {
            *error = "--set " + shownInMessage(value.key) + ": unknown key" + suggestion(section, name);
            return false;
        }
        const ProjectKey* key = findKey(section.c_str(), name.c_str());
        const bool text = key == nullptr ? value.key != "files"
                                         : key->type != ValueType::Integer && key->type != ValueType::Flag &&
                                               key->type != ValueType::Colour && key->type != ValueType::List;
        toml::table* table = root;
        for (size_t start = 0; start < section.size();) {
            const size_t end = std::min(section.find('.', start), section.size());
            const std::string part = section.substr(start, end - start);
            if (table->get(part) == nullptr)
                table->insert(part, toml::table{});
            table = table->get(part)->as_table();
            if (table == nullptr) {
                *error =
                    "--set " + value.key + ": " + section.substr(0, end) + " is not a table in the project";
                return false;
            }
            start = end + 1;
        }
        if (text) {
            table->insert_or_assign(name, value.value);
            continue;
        }
        try {
            toml::table parsed = toml::parse("value = " + value.value);
            table->insert_or_assign(name, *parsed.get("value"));
        } catch (const toml::parse_error& failure) {
            *error = "--set " + value.key + ": \"" + shownInMessage(value.value) + "\" is no TOML value (" +
                     std::string(failure.description()) + ")";
            return false;
        }
    }
    return true;
}

// Replaces ${env:NAME} in every text of node by the value of the environment variable NAME, so that a
// build hands in what changes from build to build (a version, a jar's name) without editing the file.
bool expandEnvironment(toml::node& node, const std::string& sourceName, std::string* error) {
    if (toml::table* table = node.as_table()) {
        for (auto&& [key, value] : *table) {
            if (!expandEnvironment(value, sourceName, error))
                return false;
        }
    } else if (toml::array* array = node.as_array()) {
        for (toml::node& entry : *array) {
            if (!expandEnvironment(entry, sourceName, error))
                return false;
        }
    } else if (toml::value<std::string>* text = node.as_string()) {
        static const std::regex token(R"(\$\{env:([A-Za-z_][A-Za-z0-9_]*)\})");
        std::string expanded;
        const std::string& original = text->get();
        auto last = original.cbegin();
        for (std::sregex_iterator it(original.begin(), original.end(), token), end; it != end; ++it) {
            const char* value = std::getenv((*it)[1].str().c_str());
            if (value == nullptr) {
                *error = where(sourceName, node) + ": " + it->str() + ": the environment variable " +
                         (*it)[1].str() + " is not set";
                return false;
            }
            expanded.append(last, (*it)[0].first).append(value);
            last = (*it)[0].second;
        }
        if (last != original.cbegin())
            text->get() = expanded.append(last, original.cend());
    }
    return true;
}

} // namespace

bool parseProjectText(const std::string& text, const std::string& sourceName,
                      const std::string& baseDirectory, PackRequest* request, std::string* error,
                      const std::vector<ProjectValue>& values) {
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
                << ": " << shownInMessage(std::string(failure.description()), kParserMessageLimit);
        *error = message.str();
        unmask(*error);
        return false;
    }
    unmaskTexts(root);
    if (!setValues(&root, values, error) || !expandEnvironment(root, sourceName, error))
        return false;
    if (ProjectReader(sourceName, baseDirectory).read(root, request, error))
        return true;
    unmask(*error); // keys are not swapped back in the tree
    return false;
}

bool loadProjectFile(const std::string& path, PackRequest* request, std::string* error,
                     const std::vector<ProjectValue>& values) {
    std::string contents;
    if (!readWholeStream(path, &contents, error)) {
        *error = "project file: " + *error;
        return false;
    }
    std::string baseDirectory = fs::path(path).parent_path().string();
    if (!parseProjectText(contents, path, baseDirectory.empty() ? "." : baseDirectory, request, error,
                          values))
        return false;
    request->projectPath = path;
    return true;
}

} // namespace kestro::packer
