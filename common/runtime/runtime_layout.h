// Where a Windows Java runtime keeps what the launcher uses, shared by the launcher's search and
// unpacking and by the packer's check of a runtime it bundles.
#pragma once

namespace kestro::runtime {

// The folders of the runtime's bin directory where jvm.dll is looked for, in the launcher's order,
// after the configured preferred variant (configuration 152).
constexpr const char* kJvmVariants[] = {"hotspot", "client", "server", "classic", "jrockit"};

// The Pack200-packed libraries the launcher restores when lib\rt.jar.pack is present, relative to the
// runtime's home, in unpacking order: the last one existing marks a complete earlier run.
constexpr const char* kPackedLibraries[] = {
    "lib\\rt.jar",     "lib\\charsets.jar",        "lib\\plugin.jar",
    "lib\\deploy.jar", "lib\\ext\\localedata.jar", "lib\\jsse.jar",
};

} // namespace kestro::runtime
