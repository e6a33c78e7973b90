// Reading a finished launcher back: its configuration, messages and included files, for `kestro inspect`.
#pragma once

#include "executable/certificate_table.h"
#include "executable/pe_resources.h"
#include "payload/payload_codec.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kestro::packer {

struct InspectedFile {
    std::string name;   // 8-bit, as configuration 2003 names it
    int64_t size = 0;   // as the size field says; -1 when the size field itself is cut off
    int64_t stored = 0; // data bytes actually present in the file
    bool truncated = false;
};

struct InspectedSignature {
    bool present = false;       // the headers name a certificate table
    SignatureFacts facts;       // when problem is empty
    std::string problem;        // why the table or its signature cannot be read; empty when it can
    CertificateTable table;     // where it lies, when it is usable
    bool digestChecked = false; // the file was hashed with the signature's algorithm
    bool intact = false;        // and its digest is the signed one: no byte changed since signing
};

struct LauncherContents {
    uint64_t payloadOffset = 0;
    payload::PayloadTables tables;    // records in payload order, duplicates included
    std::vector<InspectedFile> files; // in payload order; walking stops after a truncated one
    uint64_t trailingBytes = 0;       // after the last included file, up to a signature's padding
    InspectedSignature signature;
    std::vector<std::string> resources; // one line per resource of the executable, in directory order
    ResourceTree resourceTree;          // the same resources with their contents
    std::string resourceProblem;        // why the resources could not be read; empty when they could
};

// Reads the launcher at path without loading its included files into memory. Returns false and sets
// error when the file cannot be read, is not a PE executable or carries no valid payload tables. A
// truncated included-file section is not an error: the cut file is marked truncated.
bool inspectLauncher(const std::string& path, LauncherContents* contents, std::string* error);

// Human-readable report: configuration and messages by id with their project keys, then the files.
std::string formatInspection(const LauncherContents& contents);

// JSON report, described in docs/project-file.md: records sorted by id, the text the launcher would
// read for each id (later duplicates win), object members in alphabetical order.
std::string formatInspectionJson(const LauncherContents& contents);

} // namespace kestro::packer
