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

// True when the class named className ("com.example.Main", UTF-8 as the jar's names are) is in
// contents, at its plain place or in a versioned folder of a multi-release jar.
bool jarHoldsClass(const JarContents& contents, const std::string& className);

// The class file version (its major number: 52 for Java 8, 55 for Java 11) of className at its plain
// place in the jar at path. Returns false when the jar has no such entry or it is no class file.
bool classFileVersion(const std::string& path, const std::string& className, int* major);

// The Main-Class attribute of a manifest's main section: "Name: value" lines, continued on lines that
// start with one blank, in UTF-8 as the manifest holds it. Returns "" when there is none.
std::string manifestMainClass(const std::string& manifest);

} // namespace kestro::packer
