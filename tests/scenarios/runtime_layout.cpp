#include "runtime_layout.h"

#include "writers/runtime_bundle.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace kestro::scenario {
namespace {

namespace fs = std::filesystem;

void copyDouble(const std::string& relativeProgram, const std::string& target, bool x86 = false) {
    fs::create_directories(fs::path(target).parent_path());
    fs::copy_file(x86 ? windowsX86Program(relativeProgram) : windowsProgram(relativeProgram), target,
                  fs::copy_options::overwrite_existing);
}

// jvm.dll in its variant folder, and in the bin folder above it the companion library it needs.
void placeJvm(const std::string& variantDirectory, const RuntimeDescription& description) {
    copyDouble(description.jvmWithoutEntry ? "testdoubles/runtime/jvm-without-entry.dll"
                                           : "testdoubles/jni/jvm.dll",
               variantDirectory + "/jvm.dll", description.x86Jvm);
    copyDouble("testdoubles/runtime/companion.dll",
               fs::path(variantDirectory).parent_path().string() + "/companion.dll", description.x86Jvm);
}

void placeJava(const std::string& bin, const RuntimeDescription& description) {
    copyDouble("testdoubles/runtime/java.exe", bin + "/java.exe", description.x86Java);
    if (description.javaw)
        copyDouble("testdoubles/runtime/javaw.exe", bin + "/javaw.exe", description.x86Java);
}

void writeNewFile(const std::string& path, const std::string& contents) {
    fs::create_directories(fs::path(path).parent_path());
    writeFile(path, contents);
}

std::string toWindowsRelative(const std::string& library) {
    std::string path = library;
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

} // namespace

RuntimeDescription describe(Layout layout, const std::string& version) {
    RuntimeDescription description;
    description.layout = layout;
    description.version = version;
    return description;
}

const std::vector<std::string>& packedLibraryList() {
    static const std::vector<std::string> list = {
        "lib\\rt.jar",     "lib\\charsets.jar",        "lib\\plugin.jar",
        "lib\\deploy.jar", "lib\\ext\\localedata.jar", "lib\\jsse.jar"};
    return list;
}

Runtime layOutRuntime(const std::string& home, const RuntimeDescription& description) {
    Runtime runtime;
    runtime.home = home;
    runtime.windowsHome = windowsPath(home);
    switch (description.layout) {
    case Layout::Jre:
        placeJava(home + "/bin", description);
        placeJvm(home + "/bin/client", description);
        runtime.javaBin = home + "/bin";
        break;
    case Layout::Jdk:
        placeJava(home + "/bin", description);
        copyDouble("testdoubles/runtime/java.exe", home + "/bin/javac.exe");
        writeNewFile(home + "/lib/tools.jar", "tools");
        placeJava(home + "/jre/bin", description);
        placeJvm(home + "/jre/bin/client", description);
        runtime.javaBin = home + "/jre/bin";
        break;
    case Layout::ModernJdk:
        placeJava(home + "/bin", description);
        copyDouble("testdoubles/runtime/java.exe", home + "/bin/javac.exe");
        placeJvm(home + "/bin/server", description);
        runtime.javaBin = home + "/bin";
        break;
    case Layout::ModernJre:
        placeJava(home + "/bin", description);
        placeJvm(home + "/bin/server", description);
        runtime.javaBin = home + "/bin";
        break;
    }
    for (const std::string& library : description.packed)
        writeNewFile(home + "/" + toWindowsRelative(library) + ".pack", "packed");
    if (!description.packed.empty() && description.unpacker)
        copyDouble("testdoubles/runtime/unpack200.exe", home + "/bin/unpack200.exe");
    runtime.setBehaviour("version=" + description.version);
    return runtime;
}

std::string Runtime::cacheKeyPath() const {
    return lowerCase(windowsPath(javaBin + "/java.exe"));
}

void Runtime::setBehaviour(const std::string& lines) const {
    writeFile(javaBin + "/runtime-double.cfg", lines + "\n");
}

int Runtime::versionRuns() const {
    int runs = 0;
    for (const std::string& line : records())
        if (line.find(" -version") != std::string::npos)
            ++runs;
    return runs;
}

std::vector<std::string> Runtime::records() const {
    return logLines("runtime-double.log");
}

std::vector<std::string> Runtime::commandLines() const {
    return logLines("runtime-double-commands.log");
}

void Runtime::cacheVersion(const std::string& version) const {
    // The stamp is the file's last-write time as Windows counts it: 100 ns ticks since 1601.
    struct stat status {};
    ASSERT_EQ(stat((javaBin + "/java.exe").c_str(), &status), 0);
    const uint64_t ticks = (static_cast<uint64_t>(status.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
                           static_cast<uint64_t>(status.st_mtim.tv_nsec) / 100;
    std::string stamp;
    for (int i = 0; i < 8; ++i)
        stamp += static_cast<char>(ticks >> (8 * i));
    const std::string key = versionCacheKey(cacheKeyPath());
    registry::writeBinary(key, "LastWriteTime", stamp);
    registry::writeString(key, "Version", version);
}

std::vector<std::string> Runtime::logLines(const std::string& name) const {
    std::vector<std::string> lines;
    for (const std::string& bin : {home + "/bin", home + "/jre/bin"})
        for (const std::string& line : linesOf(readFile(bin + "/" + name)))
            lines.push_back(line);
    return lines;
}

MachineRegistryScope::MachineRegistryScope() {
    registry::deleteKey("HKLM\\SOFTWARE\\JavaSoft");
    registry::deleteKey("HKLM\\SOFTWARE\\Morvane");
}

MachineRegistryScope::~MachineRegistryScope() {
    registry::deleteKey("HKLM\\SOFTWARE\\JavaSoft");
    registry::deleteKey("HKLM\\SOFTWARE\\Morvane");
}

std::string versionCacheKey(const std::string& windowsJavaExe) {
    std::string name = windowsJavaExe;
    std::replace(name.begin(), name.end(), '\\', '/');
    return std::string(kVersionCacheKey) + "\\" + name;
}

void addLocatedJvm(const std::string& hive, const std::string& windowsJavaExe) {
    std::string name = windowsJavaExe;
    std::replace(name.begin(), name.end(), '\\', '/');
    // The sub-key is the whole record; the value only makes reg.exe create it.
    registry::writeString(hive + "\\SOFTWARE\\Morvane\\kestro\\locatedjvms\\" + name, "picked", "1");
}

std::vector<std::string> JniRecord::lines() const {
    return linesOf(readFile(path_));
}

std::vector<std::string> JniRecord::options() const {
    std::vector<std::string> found;
    for (const std::string& line : withPrefix(lines(), "option "))
        if (line.find(": ") != std::string::npos && line.find(" (with extraInfo)") == std::string::npos)
            found.push_back(line.substr(line.find(": ") + 2));
    return found;
}

std::vector<std::string> JniRecord::mainArguments() const {
    std::vector<std::string> found;
    for (const std::string& line : withPrefix(lines(), "main arg "))
        found.push_back(line.substr(line.find(": ") + 2));
    return found;
}

bool JniRecord::waitFor(const std::string& prefix) const {
    return waitUntil([&] { return !withPrefix(lines(), prefix).empty(); });
}

std::string runtimeJar() {
    return KESTRO_RUNTIME_JAR;
}

JavaScenario::JavaScenario()
    : s(testing::UnitTest::GetInstance()->current_test_info()->name()), jni(s.directory() + "/jni.txt") {
    s.config(122, "com.example.Main")
        .config(1005, "The JVM could not be started.")
        .include("kestro-runtime.jar", readFile(runtimeJar()))
        .env("KESTRO_JNI_RECORD", windowsPath(jni.path()))
        .unsetEnv("JAVA_HOME");
}

Runtime JavaScenario::searchableRuntime() {
    Runtime runtime = layOutRuntime(s.directory() + "/installed-jre", describe(Layout::Jre, "1.8.0_300"));
    s.config(128, "EJAVA_HOME").env("JAVA_HOME", runtime.windowsHome);
    return runtime;
}

std::string JavaScenario::runtimeArchive(const RuntimeDescription& description, bool cached) {
    layOutRuntime(s.directory() + "/shipped-jre", description);
    const std::string archive = s.directory() + "/jre.tar.gz";
    packer::RuntimeArchiveFacts facts;
    std::string error, digest;
    EXPECT_TRUE(packer::writeRuntimeArchive(s.directory() + "/shipped-jre", archive, &facts, &error))
        << error;
    EXPECT_TRUE(packer::archiveDigest(archive, &digest, &error)) << error;
    s.config(151, std::to_string(facts.streamLength))
        .config(153, facts.packed ? "1" : "0")
        .config(10203, digest)
        .config(10204, cached ? "1" : "0");
    cacheEntry = s.userCacheDirectory() + "/runtimes/" + digest.substr(0, 20);
    return archive;
}

void JavaScenario::shipRuntime(const RuntimeDescription& description, bool cached) {
    s.include("jre.tar.gz", readFile(runtimeArchive(description, cached)));
}

} // namespace kestro::scenario
