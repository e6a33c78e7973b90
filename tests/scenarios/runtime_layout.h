// Fake Java runtimes for the scenarios: a runtime home laid out in a directory from a short
// description, with the runtime doubles of testdoubles/ copied in, the registry keys that name
// runtimes (the Java vendor's, the launcher's located list and version cache), what the JNI double
// recorded, and a fixture for launches that get as far as the VM.
//
//   Runtime jre = layOutRuntime(s.directory() + "/jre", describe(Layout::Jre, "1.6.0_10"));
//   jre.setBehaviour("exit=1");
//   EXPECT_EQ(jre.versionRuns(), 1);
#pragma once

#include "harness.h"

#include <string>
#include <vector>

namespace kestro::scenario {

// Every jvm.dll needs companion.dll from the bin folder above its variant folder (not listed below).
enum class Layout {
    Jre,       // bin\java.exe, bin\javaw.exe, bin\client\jvm.dll
    Jdk,       // bin\java.exe, bin\javac.exe, lib\tools.jar, jre\bin\java.exe, jre\bin\client\jvm.dll
    ModernJdk, // bin\java.exe, bin\javaw.exe, bin\javac.exe, bin\server\jvm.dll; no jre, no tools.jar
    ModernJre, // bin\java.exe, bin\javaw.exe, bin\server\jvm.dll
};

struct RuntimeDescription {
    Layout layout = Layout::Jre;
    std::string version = "1.6.0_10";
    bool javaw = true;               // javaw.exe beside every java.exe
    bool jvmWithoutEntry = false;    // jvm.dll lacks JNI_CreateJavaVM
    std::vector<std::string> packed; // libraries as "<jar>.pack", e.g. "lib\\rt.jar"; adds unpack200.exe
    bool unpacker = true;            // bin\unpack200.exe when packed
    bool x86Java = false;            // java.exe and javaw.exe of the i686 build, which never run here
    bool x86Jvm = false;             // jvm.dll of the i686 build, which the x64 launcher cannot load
};

// A runtime of the layout and version, with javaw.exe and a working jvm.dll, not packed.
RuntimeDescription describe(Layout layout = Layout::Jre, const std::string& version = "1.6.0_10");

// The libraries a packed runtime may hold, in the order they are unpacked.
const std::vector<std::string>& packedLibraryList();

class Runtime {
  public:
    std::string home;        // Linux path
    std::string javaBin;     // the bin directory whose java.exe the launcher should take (Linux)
    std::string windowsHome; // as the launcher sees the home

    // The java.exe the launcher would choose, as checkJavaExe writes it: full and lower-cased.
    std::string cacheKeyPath() const;
    // Lines of settings for the java.exe double of javaBin (see java_double.cpp), replacing earlier ones.
    void setBehaviour(const std::string& lines) const;
    // How often a java.exe or javaw.exe of this runtime was run with "-version".
    int versionRuns() const;
    // The whole command lines the doubles of this runtime were started with, in order.
    std::vector<std::string> commandLines() const;
    // Enters version into the launcher's version cache for the java.exe of javaBin as it is now, as
    // if the launcher had run it before.
    void cacheVersion(const std::string& version) const;
    // The lines the doubles of this runtime recorded, in order (both bin directories).
    std::vector<std::string> records() const;

  private:
    std::vector<std::string> logLines(const std::string& name) const;
};

Runtime layOutRuntime(const std::string& home, const RuntimeDescription& description);

// Deletes the Java vendor's keys and the launcher's machine-wide located list now and again when it
// goes out of scope, so that no scenario sees another's runtimes.
class MachineRegistryScope {
  public:
    MachineRegistryScope();
    ~MachineRegistryScope();
    MachineRegistryScope(const MachineRegistryScope&) = delete;
    MachineRegistryScope& operator=(const MachineRegistryScope&) = delete;
};

constexpr const char* kJreVendorKey = "HKLM\\SOFTWARE\\JavaSoft\\Java Runtime Environment";
constexpr const char* kJdkVendorKey = "HKLM\\SOFTWARE\\JavaSoft\\Java Development Kit";
constexpr const char* kVersionCacheKey = "HKCU\\SOFTWARE\\Morvane\\kestro\\jvms";

// HKLM or HKCU "SOFTWARE\Morvane\kestro\locatedjvms\<path with / for \>".
void addLocatedJvm(const std::string& hive, const std::string& windowsJavaExe);
// The version cache key of a Windows path, "/" for "\".
std::string versionCacheKey(const std::string& windowsJavaExe);

// What the JNI double recorded into the file KESTRO_JNI_RECORD names: one line per event.
class JniRecord {
  public:
    explicit JniRecord(std::string path) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }
    std::vector<std::string> lines() const;         // none while there is no record
    std::vector<std::string> options() const;       // the VM's text options (no hooks), in order
    std::vector<std::string> mainArguments() const; // the String[] of main, in order
    // Waits (a minute at most) until a line starts with prefix.
    bool waitFor(const std::string& prefix) const;

  private:
    std::string path_;
};

// The kestro-runtime.jar every launcher carries.
std::string runtimeJar();

// A launch that gets as far as the VM: the scenario is named after the test, includes the runtime
// jar, has main class com.example.Main (122) and message 1005, leaves JAVA_HOME unset, and the JNI
// double records into jni.
class JavaScenario : public testing::Test {
  protected:
    JavaScenario();
    // A runtime the search finds through JAVA_HOME.
    Runtime searchableRuntime();
    // The runtime laid out from description, archived as the packer does into "jre.tar.gz" in the
    // scenario's directory, with configurations 151, 153 and its digest (10203) describing it and
    // cached (10204) saying whether it goes through the user's runtime cache; returns the archive.
    std::string runtimeArchive(const RuntimeDescription& description, bool cached = false);
    // The same archive included as the shipped runtime.
    void shipRuntime(const RuntimeDescription& description, bool cached = false);

    Scenario s;
    JniRecord jni;
    std::string cacheEntry; // where the user's cache keeps the archive's runtime
};

} // namespace kestro::scenario
