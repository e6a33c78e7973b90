// What the packer needs to know of a jar: the names in its central directory and the Main-Class of its
// manifest. Read with minizip, without unpacking anything but the manifest.
#pragma once

#include <set>
#include <string>

namespace kestro::packer {

struct JarContents {
    std::set<std::string> entries; // names as stored ("com/example/Main.class")
    std::string mainClass;         // Main-Class of META-INF/MANIFEST.MF; empty when there is none
};

// Reads the jar at path. Returns false and says why in error when it is not a readable zip archive.
bool readJar(const std::string& path, JarContents* contents, std::string* error);

// True when the class named className ("com.example.Main") is in contents, at its plain place or in
// a versioned folder of a multi-release jar.
bool jarHoldsClass(const JarContents& contents, const std::string& className);

// The Main-Class attribute of a manifest's main section: "Name: value" lines, continued on lines that
// start with one blank. Returns "" when there is none.
std::string manifestMainClass(const std::string& manifest);

} // namespace kestro::packer
