// The version information Explorer's "Details" tab and GetFileVersionInfoW show.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kestro::packer {

struct VersionInfo {
    std::string fileVersion;    // "1.2.3.4", fewer parts allowed ("1.2" is 1.2.0.0)
    std::string productVersion; // the same form; empty: fileVersion
    // Names as Windows reads them ("ProductName", "CompanyName", ...) with UTF-8 values, in this order.
    std::vector<std::pair<std::string, std::string>> strings;
};

// A VS_VERSIONINFO block for US English in UTF-16: fixed file information and one string table.
// Returns false and says why when a version is not up to four numbers of 0 to 65535, or a text is not
// UTF-8.
bool buildVersionResource(const VersionInfo& info, std::string* block, std::string* error);

// Reads a VS_VERSIONINFO block back: the versions from its fixed file information (as "a.b.c.d") and
// the strings of its first string table, in block order. Returns false when the block's nodes do not
// fit inside each other or it has no fixed file information.
bool readVersionResource(const std::string& block, VersionInfo* info);

} // namespace kestro::packer
