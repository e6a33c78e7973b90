// The version information Explorer's "Details" tab and GetFileVersionInfoW show.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kestro::packer {

struct VersionInfo {
    std::string fileVersion; // "1.2.3.4", fewer parts allowed ("1.2" is 1.2.0.0)
    // Free text, as Windows shows it ("2026.1-beta"); the fixed product version takes its leading
    // numbers (2026.1.0.0), or fileVersion's when it starts with none. Empty: fileVersion.
    std::string productVersion;
    // Names as Windows reads them ("ProductName", "CompanyName", ...) with UTF-8 values, in this order.
    std::vector<std::pair<std::string, std::string>> strings;
};

// Checks that text is a file version: up to four numbers from 0 to 65535 separated by dots. Returns
// false and says why.
bool checkFileVersion(const std::string& text, std::string* error);

// A VS_VERSIONINFO block for US English in UTF-16: fixed file information and one string table.
// Returns false and says why when the file version fails checkFileVersion, a text is not UTF-8 or the
// texts are too long together.
bool buildVersionResource(const VersionInfo& info, std::string* block, std::string* error);

// Reads a VS_VERSIONINFO block back: the versions from its fixed file information (as "a.b.c.d") and
// the strings of its first string table, in block order. Returns false when the block's nodes do not
// fit inside each other or it has no fixed file information.
bool readVersionResource(const std::string& block, VersionInfo* info);

} // namespace kestro::packer
