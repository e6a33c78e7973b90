// Writing a finished launcher: the stub executable followed by its payload.
#pragma once

#include "executable/pe_resources.h"
#include "executable/signing.h"
#include "payload/payload_codec.h"
#include "payload/payload_format.h"

#include <optional>
#include <string>
#include <vector>

namespace kestro::packer {

struct IncludedFile {
    std::string name;       // plain file name inside the extraction directory
    std::string sourcePath; // where the packer reads the contents from
};

// The name the Java runtime jar gets in the extraction directory. The launcher puts every jar there
// on the class path, which is how its bootstrap class is found.
constexpr const char* kRuntimeJarName = "kestro-runtime.jar";

struct PackRequest {
    payload::PayloadTables tables;   // configuration and messages, in payload order
    std::vector<IncludedFile> files; // written in this order; the packer sets 2002 and 2003 from them
    // The Java runtime jar, included as kRuntimeJarName after files; empty: no runtime jar (only
    // for launchers whose archives bring the runtime classes themselves, such as test launchers).
    std::string runtimeJarPath;
    std::string trailingData; // written after the included files; the launcher does not read it
    // A runtime directory or an existing .tar.gz, shipped as the included file "jre.tar.gz"; the packer
    // then sets 151 and 153 from it. Empty: no runtime is bundled.
    std::string bundledRuntime;
    std::string projectPath; // the project file, which the output must not replace; may be empty
    // Other files the project named and the packer read (the manifest, the splash picture), each
    // with what it is, which the output must not replace either.
    std::vector<std::pair<std::string, std::string>> inputFiles;
    uint16_t targetMachine = 0;        // PE machine the stub must be for (runtime_bundle.h); 0: any
    std::vector<std::string> warnings; // about the project, for the user; packing goes on
    // Resources put into the stub: each type and name given replaces all the stub's languages of that
    // name. Empty: the stub's resource section is kept byte for byte.
    ResourceTree resources;
    std::string iconPath; // an .ico or .png file for the launcher's icon; empty: the stub's icon stays
    std::optional<SigningRequest> signing; // set: the launcher is signed before it takes outputPath's place
};

// What a finished pack wrote, for the one-line summary.
struct PackSummary {
    uint64_t outputBytes = 0;
    size_t fileCount = 0; // included files, the runtime jar and a bundled runtime among them
    bool runtimeBundled = false;
    uint16_t machine = 0; // the stub's
};

// The name under which the launcher looks for a shipped runtime among its included files.
constexpr const char* kRuntimeArchiveName = payload::kRuntimeArchiveName;

// Writes the stub up to the end of its last section's raw data (dropping any overlay or signature it
// carries), then the payload, to outputPath through a temporary file renamed into place. The stub must
// carry the launcher's marker (payload/stub_marker.h) inside its image, carry no payload yet (a
// finished launcher is no stub), and be for targetMachine when that is set. A bundled runtime
// directory is archived to a second temporary file beside outputPath, removed afterwards; a bundled
// runtime must be a Windows runtime of the stub's machine (runtime_bundle.h). outputPath must not be
// a directory, one of the inputs or inside a bundled runtime directory; its directory is made when
// missing. The launcher gets the mode a new executable gets under the umask. A signed launcher is
// signed as a temporary file too, so a failed signing leaves no unsigned output behind. Returns false
// and sets error when anything fails; outputPath is then left as it was. On success fills summary
// when given.
bool packLauncher(const std::string& stubPath, PackRequest request, const std::string& outputPath,
                  std::string* error, PackSummary* summary = nullptr);

// Checks that name is a plain file name a launcher can create inside its extraction directory: not
// empty, no directory part or drive letter, not "." or "..", no ';' (the separator of the name list),
// and none of what Windows refuses or alters in a name (names/windows_names.h). Returns false and
// says why in error.
bool validateIncludedFileName(const std::string& name, std::string* error);

} // namespace kestro::packer
