// Whole launches of a packed launcher: the included files, the choice of Java runtime, the VM through
// the JNI double (copied into the runtime homes the scenarios lay out), and how a launch ends.
#include "archives.h"
#include "dialog_probe.h"
#include "harness.h"
#include "runtime_layout.h"

#include "payload/payload_codec.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace kestro::scenario {
namespace {

using testing::Contains;
using testing::ElementsAre;
using testing::EndsWith;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

namespace fs = std::filesystem;

constexpr int kNoRuntime = 83;

// A launcher of the example's shape: the application's files included, errors on standard error, the
// JNI double recording what the VM is asked to do. Launches that get as far as the application run
// with "-q": in dialog mode the hidden progress dialog would outlive a main that returns, and the
// dialogs have scenarios of their own.
class WholeLaunch : public JavaScenario {
  protected:
    WholeLaunch() {
        s.config(107, "0").message(20016, u"The installation file is corrupted.").unsetEnv("MANPATH");
    }

    static std::string extractionDirectory(const RunResult& r) {
        return linuxPath(lineStartingWith(r.logLines(), "Temp dir: "));
    }

    // The native log of a run that has just started: the one in TMP that is not among known.
    std::string newNativeLog(const std::vector<std::string>& known) const {
        std::string log = s.tmpDirectory() + "/no-log";
        EXPECT_TRUE(waitUntil([&] {
            for (const auto& entry : fs::directory_iterator(s.tmpDirectory()))
                if (entry.path().filename().string().rfind("qvx_nlog_", 0) == 0 &&
                    std::find(known.begin(), known.end(), entry.path().string()) == known.end())
                    return log = entry.path().string(), true;
            return false;
        })) << "no new native log in "
            << s.tmpDirectory();
        return log;
    }

    static bool waitForLogLine(const std::string& log, const std::string& line) {
        return waitUntil([&] { return testing::Matches(Contains(line))(linesOf(readFile(log))); });
    }
};

// Every file and directory below root, as sorted relative paths with '/'.
std::vector<std::string> treeOf(const std::string& root) {
    std::vector<std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        tree.push_back(fs::relative(entry.path(), root).generic_string());
    std::sort(tree.begin(), tree.end());
    return tree;
}

std::vector<std::string> entriesOf(const std::string& value) {
    std::vector<std::string> entries;
    for (size_t start = 0, end; (end = value.find(';', start)) != std::string::npos; start = end + 1)
        entries.push_back(value.substr(start, end - start));
    return entries;
}

TEST_F(WholeLaunch, StartsTheApplicationWithItsFiles) {
    const Runtime runtime = searchableRuntime();
    std::string data(300000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    s.include("data.bin", data).include("empty.txt", "").config(123, "-Xss2m");

    RunResult r = s.run({"-q", "first", "zwei w\xC3\xB6rter"});

    r.expectExitCode(0);
    EXPECT_EQ(r.logLines().back(), "exit code 0");
    const std::string directory = extractionDirectory(r);
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(readFile(directory + "/data.bin"), data);
    EXPECT_FALSE(fs::exists(directory + "/empty.txt")) << "a file of size 0 is not created";
    EXPECT_EQ(lineStartingWith(r.logLines(), "Current working dir: "),
              lineStartingWith(r.logLines(), "Temp dir: "));
    EXPECT_THAT(jni.options(), Contains(testing::StartsWith("-Djava.class.path=")));
    EXPECT_THAT(jni.mainArguments(), ElementsAre("false", "com.example.Main", "", "", "false", testing::_,
                                                 "-q", "first", "zwei w\xC3\xB6rter"));
    EXPECT_THAT(jni.lines(), Contains("DestroyJavaVM"));
    EXPECT_THAT(jni.lines(), Contains("main runs on a stack of 2097152 bytes"))
        << "the thread of main has -Xss";
    // The native log is held open and queued for a later clean-up.
    EXPECT_THAT(registry::readString(kDeletionQueueKey, "delete_file").value_or(""),
                HasSubstr(*r.nativeLogWindowsPath + ";"));
}

// Libraries come from the system directory, the runtime's bin, the included files and the
// project's PATH prefix, never from the launcher's folder (a Downloads folder) or the current
// directory: copies of the library the runtime's jvm.dll needs, planted there, stay unloaded. (A
// planted system library would show nothing under Wine: for a library it has code of its own for,
// Wine runs that code, even when it names the module by a copy it found beside the executable.)
TEST_F(WholeLaunch, LibrariesNeverComeFromBesideTheLauncherOrTheCurrentDirectory) {
    const Runtime runtime = searchableRuntime();
    const std::string libraries = s.directory() + "/libraries.txt";
    const std::string companion = windowsProgram("testdoubles/runtime/companion.dll");
    fs::copy_file(companion, s.directory() + "/companion.dll");
    s.env("KESTRO_COMPANION_RECORD", windowsPath(libraries));
    // Each copy records its loading, by the path the loader took, whose case may differ.
    const auto loaded = [&] {
        std::vector<std::string> lines = linesOf(lowerCase(readFile(libraries)));
        fs::remove(libraries);
        return lines;
    };
    const auto loadedFrom = [](const std::string& path) { return lowerCase("loaded " + windowsPath(path)); };

    // With the progress dialog too; the program ends the process.
    s.env("KESTRO_JNI_SCENARIO", "main=exit:0");
    s.run().expectExitCode(0);
    EXPECT_THAT(loaded(), ElementsAre(loadedFrom(runtime.javaBin + "/companion.dll")));

    // What the runtime lacks may come from the included files (the launcher put them in their
    // directory), never from the launcher's folder, also when the PATH prefix names it.
    const std::string lib = s.directory() + "/lib";
    fs::create_directories(lib);
    fs::rename(runtime.javaBin + "/companion.dll", lib + "/companion.dll");
    s.include("companion.dll", readFile(companion)).config(10004, ".");
    RunResult r = s.run({"-q"});
    r.expectExitCode(0);
    EXPECT_THAT(loaded(), ElementsAre(loadedFrom(extractionDirectory(r) + "/companion.dll")));
    EXPECT_THAT(r.logLines(), Contains(HasSubstr("is the executable's folder: not searched for libraries")));

    // The PATH prefix names the project's library folders. Without included files the configured
    // working directory is still the current directory when jvm.dll loads. Windows searches the
    // current directory after the system directories; Wine does not search it for what a library
    // needs, restricted or not.
    Scenario bare("libraries_current_directory");
    fs::create_directories(bare.directory() + "/work");
    fs::copy_file(companion, bare.directory() + "/work/companion.dll");
    bare.config(107, "0")
        .config(122, "com.example.Main")
        .config(128, "EJAVA_HOME")
        .config(146, "work")
        .config(10004, windowsPath(lib))
        .env("JAVA_HOME", runtime.windowsHome)
        .env("KESTRO_COMPANION_RECORD", windowsPath(libraries));
    RunResult withoutFiles = bare.run({"-q"});
    EXPECT_THAT(withoutFiles.logLines(), Contains(EndsWith("\\work")));
    EXPECT_THAT(loaded(), ElementsAre(loadedFrom(lib + "/companion.dll")));
}

// A Java uninstaller at work during the search: the registered runtime that is tried first deletes
// the vendor's keys as it is asked for its version, so the next registered runtime's key is gone by
// the time it is read. The launch goes on to the runtime named by JAVA_HOME and runs.
TEST_F(WholeLaunch, RuntimeKeysDeletedMidSearch) {
    MachineRegistryScope machine;
    Runtime uninstalling = layOutRuntime(s.directory() + "/uninstalling", describe(Layout::Jre, "1.8.0_400"));
    uninstalling.setBehaviour("exit=1\ndeletekey=HKLM\\SOFTWARE\\JavaSoft");
    Runtime registered = layOutRuntime(s.directory() + "/registered", describe(Layout::Jre, "1.8.0_300"));
    const std::string jre = kJreVendorKey;
    registry::writeString(jre + "\\1.8.0_400", "JavaHome", uninstalling.windowsHome);
    registry::writeString(jre + "\\1.8.0_300", "JavaHome", registered.windowsHome);
    const Runtime fallback = searchableRuntime();
    s.config(128, "Y;EJAVA_HOME");

    RunResult r = s.run({"-q"});

    r.expectExitCode(0);
    EXPECT_EQ(uninstalling.versionRuns(), 1);
    EXPECT_EQ(registered.versionRuns(), 0);
    EXPECT_FALSE(registry::keyExists("HKLM\\SOFTWARE\\JavaSoft"));
    EXPECT_THAT(r.logLines(), Contains(HasSubstr("Trying to load JVM-DLL from " + fallback.cacheKeyPath())));
    EXPECT_THAT(jni.lines(), Contains("DestroyJavaVM"));
}

// Users' folders are named in their own scripts, none of which the Western ANSI code page holds;
// Polish and Greek letters have look-alikes there ("L", "O", "d") that name other folders.
TEST_F(WholeLaunch, StartsFromFoldersAndWithTmpOutsideTheAnsiCodePage) {
    const std::string polish = "\u0141ukasz \u017C\u00F3\u0142w";
    const std::string greek = "\u03A9\u03B4\u03AE";
    const std::string chinese = "\u4E2D\u6587\u6587\u4EF6";
    const Runtime runtime =
        layOutRuntime(s.directory() + "/" + polish + " jre", describe(Layout::Jre, "1.8.0_300"));
    s.config(128, "EJAVA_HOME").env("JAVA_HOME", runtime.windowsHome);
    // Entries of the inherited PATH the launcher has no business changing, each in another script.
    const std::string inherited = "C:\\windows\\system32;C:\\windows;C:\\" + chinese + "\\bin;C:\\" + polish +
                                  ";C:\\" + greek + "\\lib";
    s.config(10004, "C:\\tools;lib").env("PATH", inherited);
    struct Placement {
        std::string launcher, tmp;
    };
    std::vector<std::string> extracted;
    for (const Placement& at :
         {Placement{greek, polish}, Placement{chinese, greek}, Placement{polish, chinese}}) {
        SCOPED_TRACE("launcher in " + at.launcher + ", TMP in " + at.tmp);
        fs::remove(jni.path());
        s.placeLauncherIn(at.launcher).tmpIn(at.tmp);
        const std::string exe = s.executablePath();
        writeFile(exe.substr(0, exe.size() - 4) + ".vmoptions", "-Dfrom.options=" + at.launcher + "\n");

        RunResult r = s.run({"-q", "arg"});

        r.expectExitCode(0);
        const auto record = jni.lines();
        EXPECT_THAT(jni.mainArguments(), Contains("arg"));
        // The options file beside the launcher is read; its text is 8-bit, so only its name is exact.
        EXPECT_THAT(jni.options(), Contains(testing::StartsWith("-Dfrom.options=")))
            << "the options file was not found";
        EXPECT_THAT(r.logLines(), Contains(HasSubstr("Temp dir: "))) << "no native log in the user's TMP";
        // The prefix, the inherited value as it was, then the runtime's bin directory.
        const std::string path = lineStartingWith(record, "environment PATH ");
        EXPECT_EQ(path.rfind("C:\\tools;", 0), 0u) << path;
        EXPECT_THAT(path, HasSubstr("\\lib;" + inherited + ";")) << path;
        EXPECT_EQ(lineStartingWith(record, "C runtime PATH "), path);
        extracted.push_back(lineStartingWith(r.logLines(), "Temp dir: "));
    }
    // The included files went to a temporary directory the ANSI code page can name (the Windows
    // directory's "temp"); a drain of the queue removes them from there.
    RunResult drain = s.runProgram(scenarioProgram("queue-tool"), {"drain"});
    for (const std::string& directory : extracted) {
        EXPECT_THAT(directory, testing::StartsWith("C:\\windows\\temp\\"));
        EXPECT_THAT(drain.logLines(), Contains("delete dir " + directory));
        EXPECT_THAT(drain.logLines(), Not(Contains("didn't delete " + directory)));
    }
}

// The runtime is found on PATH, in a folder the ANSI code page cannot name.
TEST_F(WholeLaunch, WithoutAPrefixPathIsLeftAsItWas) {
    const Runtime runtime =
        layOutRuntime(s.directory() + "/\u4E2D\u6587 jre", describe(Layout::Jre, "1.8.0_300"));
    const std::string inherited =
        "C:\\windows\\system32;C:\\windows;" + windowsPath(runtime.javaBin) + ";C:\\\u0141\u00F3d\u017A";
    s.config(128, "S").env("PATH", inherited);

    RunResult r = s.run({"-q"});

    r.expectExitCode(0);
    // Loading jvm.dll adds the runtime's bin directory, and nothing else changes.
    const std::string path = lineStartingWith(jni.lines(), "environment PATH ");
    EXPECT_EQ(path.substr(0, inherited.size() + 1), inherited + ";");
    EXPECT_EQ(path.find(';', inherited.size() + 1), std::string::npos) << path;
}

// Packs a project file with the kestro command, as a user does, with further options; false when it
// fails. Its output, both streams, goes to *output.
bool packWithCli(const std::string& projectFile, const std::string& launcher, std::string* output,
                 const std::string& options = "") {
    return 0 ==
           runShell(std::string(KESTRO_CLI) + " pack '" + projectFile + "' -o '" + launcher + "' --stub '" +
                        launcherStub() + "' --runtime-jar '" + runtimeJar() + "'" + options,
                    output);
}

// As a user packs a build's output: the packer reads a project whose files are a pattern over the
// build's jars and whose main class comes from one jar's manifest, and the launcher starts that class.
TEST_F(WholeLaunch, PackedFromAProjectWithAPatternOfJarsAndAMainJar) {
    searchableRuntime();
    const std::string project = s.directory() + "/Projekt \xC3\x9C"
                                                "bung";
    test_support::writeJar(
        project + "/build/libs/app-1.0.jar",
        {{"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\nMain-Class: com.example.gui.App\r\n\r\n"},
         {"com/example/gui/App.class", "class bytes"}});
    test_support::writeJar(project + "/build/libs/core-1.0.jar", {{"com/example/Core.class", "class bytes"}});
    writeFile(project + "/build/libs/README.txt", "not matched by the pattern");
    writeFile(project + "/app.toml", "files = [\"build/libs/*.jar\"]\n"
                                     "[application]\nmain_jar = \"app-1.0.jar\"\nexecutable_type = 0\n"
                                     "[java]\nsearch_sequence = [\"EJAVA_HOME\"]\n");
    const std::string launcher = s.directory() + "/App.exe";
    std::string packOutput;
    ASSERT_TRUE(packWithCli(project + "/app.toml", launcher, &packOutput)) << packOutput;
    EXPECT_THAT(packOutput, HasSubstr("x64, 3 included files, no Java runtime bundled)"));

    RunResult r = s.runProgram(launcher, {"-q", "eins"});

    r.expectExitCode(0);
    const std::string directory = extractionDirectory(r);
    ASSERT_FALSE(directory.empty());
    EXPECT_TRUE(fs::exists(directory + "/app-1.0.jar"));
    EXPECT_TRUE(fs::exists(directory + "/core-1.0.jar"));
    EXPECT_FALSE(fs::exists(directory + "/README.txt"));
    EXPECT_THAT(jni.mainArguments(), Contains("com.example.gui.App"));
    EXPECT_THAT(jni.mainArguments(), Contains("eins"));
    const std::string classPath = jni.options().back();
    EXPECT_THAT(classPath, HasSubstr("app-1.0.jar"));
    EXPECT_LT(classPath.find("app-1.0.jar"), classPath.find("core-1.0.jar")) << classPath;
    EXPECT_THAT(classPath, HasSubstr("kestro-runtime.jar"));
}

// An .ico file of square 32-bit images of the given sizes, each a plain colour, as Windows draws them.
std::string iconFile(const std::vector<int>& sizes) {
    const auto append32 = [](std::string& out, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out += static_cast<char>((v >> (8 * i)) & 0xff);
    };
    std::vector<std::string> images;
    for (int size : sizes) {
        std::string image;
        const uint32_t side = static_cast<uint32_t>(size);
        // BITMAPINFOHEADER: the height counts the colour rows and the mask rows.
        for (uint32_t field : {40u, side, 2 * side})
            append32(image, field);
        image += std::string("\1\0\x20\0", 4);
        for (int i = 0; i < 6; ++i)
            append32(image, 0);
        for (uint32_t i = 0; i < side * side; ++i)
            append32(image, 0xff2060a0u);
        image += std::string(side * ((side + 31) / 32 * 4), '\0'); // the mask: all shown
        images.push_back(image);
    }
    std::string ico("\0\0\1\0", 4);
    ico += static_cast<char>(sizes.size());
    ico += '\0';
    uint32_t offset = static_cast<uint32_t>(6 + 16 * sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) {
        ico += static_cast<char>(sizes[i]);
        ico += static_cast<char>(sizes[i]);
        ico += std::string("\0\0\1\0\x20\0", 6);
        append32(ico, static_cast<uint32_t>(images[i].size()));
        append32(ico, offset);
        offset += static_cast<uint32_t>(images[i].size());
    }
    for (const std::string& image : images)
        ico += image;
    return ico;
}

// A 24-bit .bmp file of 3 by 2 pixels: the top row in the colour given, the bottom row black.
std::string bmpFile(uint8_t red, uint8_t green, uint8_t blue) {
    std::string bmp("BM", 2);
    const auto append32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bmp += static_cast<char>((v >> (8 * i)) & 0xff);
    };
    for (uint32_t field : {14u + 40 + 24, 0u, 14u + 40, 40u, 3u, 2u})
        append32(field);
    bmp += std::string("\1\0\x18\0", 4);
    for (int i = 0; i < 6; ++i)
        append32(0);
    bmp += std::string(12, '\0'); // the bottom row first, padded to 12 bytes
    for (int i = 0; i < 3; ++i)
        bmp += {static_cast<char>(blue), static_cast<char>(green), static_cast<char>(red)};
    bmp += std::string(3, '\0');
    return bmp;
}

// What resource-probe says of the manifest every stub carries.
std::string stubManifest() {
    return "manifest 1: " +
           std::to_string(fs::file_size(KESTRO_SOURCE_DIR "/launcher/windows/resources/launcher.manifest")) +
           " bytes";
}

// The packer rewrites the stub's resource section for the icon, the splash picture and the version
// information: the launcher must still load and launch, and Windows must read its resources back.
TEST_F(WholeLaunch, PackedWithIconPictureAndVersionRunsAndShowsThem) {
    searchableRuntime();
    const std::string project = s.directory() + "/project";
    test_support::writeJar(project + "/app.jar", {{"com/example/App.class", "class bytes"}});
    writeFile(project + "/app.ico", iconFile({16, 32, 48}));
    writeFile(project + "/splash.bmp", bmpFile(30, 120, 210));
    writeFile(project + "/app.toml",
              "files = [\"app.jar\"]\n"
              "[application]\nmain_class = \"com.example.App\"\nicon = \"app.ico\"\nexecutable_type = 0\n"
              "[splash]\npicture = \"splash.bmp\"\n"
              "[java]\nsearch_sequence = [\"EJAVA_HOME\"]\n"
              "[version]\nfile_version = \"2.5.0.17\"\nproduct_name = \"Za\u017c\u00f3\u0142\u0107 "
              "\u03b1\u03b2 \u4e2d\"\n"
              "company_name = \"Morvane\"\noriginal_filename = \"App.exe\"\n");
    const std::string launcher = s.directory() + "/App.exe";
    std::string packOutput;
    ASSERT_TRUE(packWithCli(project + "/app.toml", launcher, &packOutput)) << packOutput;

    RunResult r = s.runProgram(launcher, {"-q", "eins"});

    r.expectExitCode(0);
    EXPECT_THAT(jni.lines(), Contains("main arg 1: com.example.App"));
    EXPECT_THAT(jni.lines(), Contains("DestroyJavaVM"));

    RunResult read = s.runProgram(scenarioProgram("resource-probe"), {windowsPath(launcher)});
    EXPECT_THAT(read.stdoutLines(),
                ElementsAre("dialog 103: yes", "dialog 104: yes", "icon group 1001: 3 images",
                            "icon 16: 16x16", "icon 48: 48x48", "icon 256: 256x256, centre 32,96,160",
                            "picture 10000: 3x2, top left 30,120,210", stubManifest(),
                            "checksum: as the file's", "version: 2.5.0.17",
                            "ProductName: Za\u017c\u00f3\u0142\u0107 \u03b1\u03b2 \u4e2d",
                            "CompanyName: Morvane", "FileDescription: no", "LegalCopyright: no",
                            "OriginalFilename: App.exe", "ProductVersion: 2.5.0.17"))
        << read.describe();
}

// A palette PNG icon, the example's splash picture as a 16-bit PNG without gamma information (sRGB,
// as such files are), a manifest of the project's own and version information, packed by the kestro
// command: the launcher runs a whole launch, Windows reads its resources back in their colours and
// finds the checksum true, and without a runtime its dialogs come up under the project's manifest.
TEST_F(WholeLaunch, PackedWithPngIconManifestAndPictureLaunchesAndAsks) {
    searchableRuntime();
    const std::string project =
        s.directory() + "/\u0142\u00f3d\u017a \u03c6\u03ac\u03ba\u03b5\u03bb\u03bf\u03c2";
    const std::string manifest =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
        "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
        "  <!-- the project's own -->\n"
        "  <dependency><dependentAssembly><assemblyIdentity type=\"win32\" "
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\" "
        "processorArchitecture=\"*\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>"
        "</dependentAssembly></dependency>\n</assembly>\n";
    test_support::writeJar(project + "/app.jar", {{"com/example/App.class", "class bytes"}});
    writeFile(project + "/app.manifest", manifest);
    std::string output;
    ASSERT_EQ(0, runShell("convert -size 256x256 'xc:rgb(200,40,90)' 'PNG8:" + project +
                              "/app.png' && convert '" KESTRO_SOURCE_DIR
                              "/examples/hello/resources/splash.png' -depth 16 "
                              "-define png:exclude-chunks=gAMA,cHRM,sRGB,iCCP 'PNG48:" +
                              project + "/splash.png'",
                          &output))
        << output;
    writeFile(project + "/app.toml",
              "files = [\"app.jar\"]\n"
              "[application]\nmain_class = \"com.example.App\"\nicon = \"app.png\"\nname = \"\u00dcbung\"\n"
              "manifest = \"app.manifest\"\n"
              "[splash]\npicture = \"splash.png\"\n"
              "[java]\nsearch_sequence = [\"EJAVA_HOME\"]\n"
              "[version]\nfile_version = \"4.0.1\"\nfile_description = \"\u0141\u00f3d\u017a\"\n");
    const std::string launcher = s.directory() + "/App.exe";
    std::string packOutput;
    ASSERT_TRUE(packWithCli(project + "/app.toml", launcher, &packOutput)) << packOutput;

    RunResult r = s.runProgram(launcher, {"-q", "eins"});

    r.expectExitCode(0);
    EXPECT_THAT(jni.lines(), Contains("main arg 1: com.example.App"));
    RunResult read = s.runProgram(scenarioProgram("resource-probe"), {windowsPath(launcher)});
    EXPECT_THAT(read.stdoutLines(),
                ElementsAre("dialog 103: yes", "dialog 104: yes", "icon group 1001: 4 images",
                            "icon 16: 16x16", "icon 48: 48x48", "icon 256: 256x256, centre 200,40,90",
                            "picture 10000: 400x240, top left 30,120,210",
                            "manifest 1: " + std::to_string(manifest.size()) + " bytes",
                            "checksum: as the file's", "version: 4.0.1.0", "ProductName: no",
                            "CompanyName: no", "FileDescription: \u0141\u00f3d\u017a", "LegalCopyright: no",
                            "OriginalFilename: no", "ProductVersion: 4.0.1"))
        << read.describe();

    // An error box, and without a runtime the progress dialog and the question, are captioned with the
    // application's name; the question says in words which versions would do. The dialogs come up with
    // the common controls the project's manifest asks for.
    s.env("KESTRO_JNI_SCENARIO", "create=fail");
    RunResult failed = s.runProgram(launcher, {});
    failed.expectExitCode(1);
    ASSERT_EQ(failed.messageBoxes.size(), 1u);
    EXPECT_EQ(failed.messageBoxes[0].caption, "\u00dcbung");
    EXPECT_EQ(failed.messageBoxes[0].text,
              failed.errorText("The Java virtual machine could not be started."));
    s.unsetEnv("JAVA_HOME");
    DialogProbe dialogs(s);
    RunningProgram asking = s.start(launcher, {});
    const DialogView progress = dialogs.view("progress");
    EXPECT_TRUE(progress.visible);
    EXPECT_EQ(progress.title, "\u00dcbung");
    EXPECT_EQ(progress.commonControlsVersion, 6);
    const DialogView question = dialogs.view("question");
    EXPECT_EQ(question.title, "\u00dcbung");
    EXPECT_EQ(question.text(1003),
              "No suitable Java runtime was found on this computer. The program runs on Java 8 "
              "or newer.\nDo you want to locate an installed java.exe yourself?");
    EXPECT_TRUE(question.shows(2));
    dialogs.click("question", 2);
    asking.wait().expectExitCode(1);
}

// timestamp_server.py for one test: an RFC 3161 authority whose certificate it writes to directory.
class TimestampServer {
  public:
    explicit TimestampServer(const std::string& directory)
        : stream_(popen(("exec python3 '" + std::string(KESTRO_SCENARIO_SOURCE_DIR) +
                         "/timestamp_server.py' '" + directory + "'")
                            .c_str(),
                        "r")) {
        if (stream_ == nullptr || fscanf(stream_, "port %d pid %d", &port_, &pid_) != 2)
            port_ = 0;
    }
    ~TimestampServer() {
        if (pid_ > 0)
            kill(pid_, SIGTERM);
        if (stream_ != nullptr)
            pclose(stream_);
    }
    TimestampServer(const TimestampServer&) = delete;
    TimestampServer& operator=(const TimestampServer&) = delete;

    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

  private:
    FILE* stream_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// As a release is signed on a build machine: a certificate made by OpenSSL for the test, the password
// only in the environment or a file, a time stamp from a local authority. The signature must verify,
// cover every byte, leave the payload
// readable to the launcher and to inspect, and a failed signing must leave the last output alone.
TEST_F(WholeLaunch, SignedByThePackerVerifiesAndStillLaunches) {
    searchableRuntime();
    const std::string project = s.directory() + "/project";
    test_support::writeJar(project + "/app.jar", {{"com/example/App.class", "class bytes"}});
    writeFile(project + "/app.toml", "files = [\"app.jar\"]\n"
                                     "[application]\nmain_class = \"com.example.App\"\nexecutable_type = 0\n"
                                     "[java]\nsearch_sequence = [\"EJAVA_HOME\"]\n");
    const std::string keys = s.directory() + "/Schl\xC3\xBCssel";
    const std::string password = "geheim \xC3\xBC 'x'";
    const std::string signer = "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87 Test Signer";
    fs::create_directories(keys);
    writeFile(keys + "/password.txt", password + "\n");
    setenv("KESTRO_TEST_SIGNING_PASSWORD", password.c_str(), 1);
    std::string output;
    ASSERT_EQ(
        0, runShell("cd '" + keys +
                        "' && openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -utf8 -subj '/CN=" + signer +
                        "' -addext extendedKeyUsage=codeSigning -keyout key.pem -out cert.pem "
                        "-passout env:KESTRO_TEST_SIGNING_PASSWORD && openssl pkcs12 -export -inkey key.pem "
                        "-in cert.pem "
                        "-out signer.p12 -passin env:KESTRO_TEST_SIGNING_PASSWORD -passout "
                        "env:KESTRO_TEST_SIGNING_PASSWORD",
                    &output))
        << output;
    TimestampServer timestamps(keys);
    ASSERT_NE(timestamps.port(), 0);
    const std::string withPkcs12 = " --sign --sign-pkcs12 '" + keys +
                                   "/signer.p12' --sign-password-env KESTRO_TEST_SIGNING_PASSWORD "
                                   "--timestamp-url " +
                                   timestamps.url();
    const std::string launcher = s.directory() + "/App.exe";
    ASSERT_TRUE(packWithCli(project + "/app.toml", launcher, &output)) << output;
    const std::string unsignedLauncher = readFile(launcher);

    setenv("KESTRO_TEST_SIGNING_PASSWORD", "wrong", 1);
    EXPECT_FALSE(packWithCli(project + "/app.toml", launcher, &output, withPkcs12));
    EXPECT_THAT(output, HasSubstr("kestro: signing failed; osslsigncode said:\n"));
    EXPECT_THAT(output, HasSubstr("assword")) << "osslsigncode names the likely cause";
    EXPECT_EQ(readFile(launcher), unsignedLauncher);
    for (const auto& entry : fs::directory_iterator(s.directory()))
        EXPECT_THAT(entry.path().filename().string(), Not(HasSubstr(".kestro-pack-")));

    setenv("KESTRO_TEST_SIGNING_PASSWORD", password.c_str(), 1);
    ASSERT_TRUE(packWithCli(project + "/app.toml", launcher, &output, withPkcs12)) << output;
    EXPECT_THAT(output, HasSubstr("no Java runtime bundled, signed)"));
    const std::string verify =
        "osslsigncode verify -CAfile '" + keys + "/cert.pem' -TSA-CAfile '" + keys + "/tsa-cert.pem' -in ";
    EXPECT_EQ(0, runShell(verify + "'" + launcher + "'", &output)) << output;
    EXPECT_EQ(0, runShell(std::string(KESTRO_CLI) + " inspect '" + launcher + "'", &output)) << output;
    EXPECT_THAT(output, HasSubstr("Signature: signed by \"" + signer + "\", issued by \"" + signer +
                                  "\", with a time stamp; the file is as signed"));
    EXPECT_THAT(output, HasSubstr("kestro-runtime.jar"));
    EXPECT_THAT(output, Not(HasSubstr("further data")));

    RunResult r = s.runProgram(launcher, {"-q", "eins"});

    r.expectExitCode(0);
    EXPECT_THAT(jni.lines(), Contains("main arg 1: com.example.App"));

    // One byte of the payload changed after signing: a letter of the main class's name, so that the
    // payload still reads.
    std::string changed = readFile(launcher);
    size_t payloadStart = 0;
    std::string error;
    ASSERT_TRUE(payload::findPayloadStart(changed, &payloadStart, &error)) << error;
    const size_t mainClass = changed.find("com.example.App", payloadStart);
    ASSERT_NE(mainClass, std::string::npos);
    changed[mainClass + 4] ^= 1;
    writeFile(s.directory() + "/Changed.exe", changed);
    EXPECT_NE(0, runShell(verify + "'" + s.directory() + "/Changed.exe'", &output)) << output;
    EXPECT_NE(0, runShell(std::string(KESTRO_CLI) + " inspect '" + s.directory() + "/Changed.exe'", &output));
    EXPECT_THAT(output, HasSubstr("Changed.exe was changed after it was signed"));

    // The key and its certificate as two files, the password in a file.
    const std::string second = s.directory() + "/Second.exe";
    ASSERT_TRUE(packWithCli(project + "/app.toml", second, &output,
                            " --sign --sign-key '" + keys + "/key.pem' --sign-certificate '" + keys +
                                "/cert.pem' --sign-password-file '" + keys + "/password.txt'"))
        << output;
    EXPECT_EQ(0, runShell(verify + "'" + second + "'", &output)) << output;
    EXPECT_EQ(0, runShell(std::string(KESTRO_CLI) + " inspect '" + second + "'", &output)) << output;
    EXPECT_THAT(output, HasSubstr("\", without a time stamp"));
}

TEST_F(WholeLaunch, UncreatableVmEndsWith1005) {
    searchableRuntime();
    s.env("KESTRO_JNI_SCENARIO", "create=fail");

    RunResult r = s.run();

    r.expectExitCode(1);
    r.expectConsoleError("The JVM could not be started.");
    EXPECT_THAT(r.logLines(), Contains("ERROR: Could not start JVM"));
    const std::string directory = extractionDirectory(r);
    EXPECT_THAT(registry::readString(kDeletionQueueKey, "delete_dir").value_or(""),
                HasSubstr(lineStartingWith(r.logLines(), "Temp dir: ") + ";"));

    // Once the launcher has ended, a clean-up removes what it left.
    RunResult drain = s.runProgram(scenarioProgram("queue-tool"), {"drain"});
    drain.expectExitCode(0);
    EXPECT_FALSE(fs::exists(directory));
    EXPECT_FALSE(fs::exists(*r.nativeLogPath));
}

// The application's own error, not the VM's: its exception is reported first (here on standard error,
// without an error log), then the launcher says that the application ended with it.
TEST_F(WholeLaunch, ThrowingMainEndsWith1AndNamesTheException) {
    searchableRuntime();
    s.env("KESTRO_JNI_SCENARIO", "main=throw");

    RunResult r = s.run();

    r.expectExitCode(1);
    EXPECT_THAT(r.stderrText,
                testing::StartsWith("Exception in thread \"main\" java.lang.IllegalStateException"));
    r.expectStderrContains(
        "The application ended with an error.\n\njava.lang.IllegalStateException: the double's "
        "main failed: ");
    EXPECT_THAT(r.stderrText, Not(HasSubstr("The JVM could not be started.")));
    EXPECT_THAT(r.logLines(), Not(Contains("ERROR: could not call main")));
    EXPECT_THAT(jni.lines(), Contains("DestroyJavaVM"));
}

// Scripts read standard output; the user reads on standard error what a box would say.
TEST_F(WholeLaunch, NoRuntimeInQuietModeEndsWith83) {
    s.config(128, "").config(126, "11").config(1001, "No Java runtime was found.");

    RunResult r = s.run({"-q"});

    r.expectExitCode(kNoRuntime);
    EXPECT_EQ(r.stdoutText, "no jre found\n");
    r.expectConsoleError("No Java runtime was found.\nThe program runs on Java 11 or newer.");
    EXPECT_THAT(r.logLines(), Contains("ERROR: No JRE found"));
    EXPECT_EQ(registry::readDword(kLauncherKey, "InstallStarted"), 0u);
}

// Payloads whose file section does not match configuration 2002 and 2003, written byte by byte.
std::string payloadWithFiles(const std::string& count, const std::string& names,
                             const std::vector<std::string>& contents) {
    payload::PayloadTables tables;
    tables.config = {{107, "0"}, {2002, count}, {2003, names}};
    tables.messages = {{20016, u"The installation file is corrupted."}};
    std::string bytes;
    payload::appendTables(bytes, tables);
    for (const std::string& content : contents)
        payload::appendIncludedFile(bytes, content);
    return bytes;
}

TEST_F(WholeLaunch, ExtractsOnlyCountedNamedFiles) {
    s.rawPayload(payloadWithFiles("1", "one.txt;two.txt;", {"first", "second"}));
    RunResult moreNames = s.run({"-q"});
    const std::string directory = extractionDirectory(moreNames);
    EXPECT_EQ(readFile(directory + "/one.txt"), "first");
    EXPECT_FALSE(fs::exists(directory + "/two.txt"));

    s.rawPayload(payloadWithFiles("3", "one.txt;", {"first", "second"}));
    RunResult fewerNames = s.run({"-q"});
    EXPECT_EQ(readFile(extractionDirectory(fewerNames) + "/one.txt"), "first");
    EXPECT_THAT(fewerNames.logLines(), Contains("extracting files done"));

    // Only a count of 0 means no files: a negative count makes the directory and extracts nothing.
    s.rawPayload(payloadWithFiles("-1", "one.txt;", {"first"}));
    RunResult negative = s.run({"-q"});
    EXPECT_TRUE(fs::is_directory(extractionDirectory(negative)));
    EXPECT_FALSE(fs::exists(extractionDirectory(negative) + "/one.txt"));
    EXPECT_THAT(negative.logLines(), Contains("extracting files done"));
}

TEST_F(WholeLaunch, TruncatedFilesEndWith20016) {
    std::string bytes = payloadWithFiles("2", "one.txt;two.txt;", {"first", std::string(20000, 'x')});
    bytes.resize(bytes.size() - 5000);
    s.rawPayload(bytes);

    RunResult r = s.run({"-q"});

    r.expectExitCode(1);
    r.expectConsoleError("The installation file is corrupted.");
    EXPECT_THAT(r.logLines(), Contains("ERROR: ReadFile failed"));
    EXPECT_FALSE(fs::exists(extractionDirectory(r)));
}

TEST_F(WholeLaunch, RefusesEscapingFileNames) {
    for (const char* name :
         {"..\\escaped.txt", "c:\\escaped.txt", "\\escaped.txt", "sub\\..\\..\\escaped.txt",
          // Windows drops trailing dots and blanks from a step: these are ".." too.
          ".. \\escaped.txt", "...\\escaped.txt"}) {
        s.rawPayload(payloadWithFiles("1", std::string(name) + ";", {"outside"}));
        RunResult r = s.run({"-q"});
        r.expectExitCode(1);
        r.expectConsoleError("The installation file is corrupted.");
        EXPECT_FALSE(fs::exists(s.tmpDirectory() + "/escaped.txt")) << name;
        EXPECT_FALSE(fs::exists(extractionDirectory(r))) << name;
    }
}

TEST_F(WholeLaunch, ShippedRuntimeIsUnpackedAndLoaded) {
    shipRuntime(describe(Layout::Jre, "1.8.0_300"));

    RunResult r = s.run({"-q"});

    r.expectExitCode(0);
    const std::string directory = extractionDirectory(r);
    EXPECT_TRUE(fs::exists(directory + "/jre/bin/client/jvm.dll"));
    EXPECT_FALSE(fs::exists(directory + "/jre.tar.gz")) << "the archive is deleted once unpacked";
    EXPECT_THAT(r.logLines(), Contains("JRE included"));
    EXPECT_THAT(r.logLines(), Contains("untaring JRE was successful"));
    EXPECT_THAT(r.logLines(), Contains("JRE dir: " + lineStartingWith(r.logLines(), "Temp dir: ") + "\\jre"));
    EXPECT_THAT(jni.lines(), Contains("DestroyJavaVM"));
}

TEST_F(WholeLaunch, PackedShippedRuntimeIsRestoredByItsUnpacker) {
    RuntimeDescription description = describe(Layout::Jre, "1.8.0_300");
    description.packed = {"lib\\rt.jar", "lib\\charsets.jar"};
    shipRuntime(description);

    RunResult r = s.run({"-q"});

    r.expectExitCode(0);
    EXPECT_THAT(r.logLines(), Contains("JRE is packed"));
    const std::string directory = extractionDirectory(r);
    EXPECT_TRUE(fs::exists(directory + "/jre/lib/rt.jar"));
    EXPECT_FALSE(fs::exists(directory + "/jre/lib/rt.jar.pack"));
    EXPECT_TRUE(fs::exists(directory + "/jre/lib/charsets.jar"));
}

TEST_F(WholeLaunch, ManualSwitchLeavesTheShippedRuntimeAlone) {
    shipRuntime(describe(Layout::Jre, "1.8.0_300"));
    for (const char* manual : {"-manual", "/manual"}) {
        RunResult r = s.run({"-q", manual});

        r.expectExitCode(kNoRuntime);
        EXPECT_THAT(r.logLines(), Contains("Included JRE not used because of manual switch")) << manual;
        EXPECT_THAT(r.logLines(), Not(Contains("extracting JRE")));
        EXPECT_FALSE(fs::exists(extractionDirectory(r) + "/jre"));
    }
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Whether anything below root is a runtime unpacked there ("jre") or its archive.
bool holdsARuntime(const std::string& root) {
    for (const std::string& path : treeOf(root))
        if (path == "jre" || path.find("/jre") != std::string::npos ||
            path.find("jre.tar.gz") != std::string::npos)
            return true;
    return false;
}

std::vector<std::string> namesIn(const std::string& directory) {
    std::vector<std::string> names;
    if (fs::exists(directory))
        for (const auto& entry : fs::directory_iterator(directory))
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A runtime that goes through the user's cache: the first start unpacks it, with its packed
// libraries restored, into a cache entry and nothing of it into TMP; later starts take the entry as
// it is and leave the archive in the payload; an entry a cleaner damaged is made again; and with the
// cache turned off the runtime is unpacked beside the included files for each start, as before.
TEST_F(WholeLaunch, ShippedRuntimeIsCachedOnceAndTakenFromTheCacheAfterwards) {
    RuntimeDescription description = describe(Layout::Jre, "1.8.0_300");
    description.packed = {"lib\\rt.jar", "lib\\charsets.jar"};
    shipRuntime(description, true);
    s.config(123, "-Dhome=${launcher:sys.jvmHome}");
    const std::string home = cacheEntry + "/jre";
    const std::string entryName = fs::path(cacheEntry).filename().string();
    const auto unpackerRuns = [&] { return linesOf(readFile(home + "/bin/runtime-double.log")).size(); };
    const auto run = [&](const std::string& name) {
        s.env("KESTRO_JNI_RECORD", windowsPath(jni.path() + "." + name));
        RunResult r = s.run({"-q"});
        r.expectExitCode(0);
        EXPECT_THAT(r.logLines(), Contains("JRE dir: " + windowsPath(home))) << name;
        // The runtime home as the launcher records it, full and lower-cased.
        EXPECT_THAT(JniRecord(jni.path() + "." + name).lines(),
                    Contains(HasSubstr("-Dhome=" + lowerCase(windowsPath(home)) + "\\bin\\..")))
            << "what the runtime sees names the cached runtime: " << name;
        EXPECT_FALSE(holdsARuntime(s.tmpDirectory())) << name;
        EXPECT_THAT(namesIn(s.userCacheDirectory() + "/runtimes"), ElementsAre(entryName)) << name;
        return r;
    };

    RunResult first = run("first");
    EXPECT_THAT(first.logLines(), Contains("Caching JRE in " + windowsPath(cacheEntry)));
    EXPECT_THAT(first.logLines(), Contains("JRE is packed"));
    EXPECT_TRUE(fs::exists(home + "/lib/rt.jar"));
    EXPECT_FALSE(fs::exists(home + "/lib/rt.jar.pack"));
    EXPECT_TRUE(fs::exists(cacheEntry + "/kestro-entry"));
    EXPECT_EQ(unpackerRuns(), 2u);

    // Every start that takes the entry renews its time of last use, which the clean-up goes by.
    fs::last_write_time(cacheEntry, fs::file_time_type::clock::now() - std::chrono::hours(24 * 40));
    RunResult second = run("second");
    EXPECT_LT(fs::file_time_type::clock::now() - fs::last_write_time(cacheEntry), std::chrono::hours(1));
    EXPECT_THAT(second.logLines(), Contains("Using cached JRE " + windowsPath(home)));
    EXPECT_THAT(second.logLines(), Contains(testing::StartsWith("not extracting jre.tar.gz")));
    EXPECT_THAT(second.logLines(), Not(Contains("extracting JRE")));
    EXPECT_EQ(unpackerRuns(), 2u) << "the restored libraries are part of the entry";

    fs::remove(home + "/lib/charsets.jar");
    RunResult third = run("damaged");
    EXPECT_THAT(third.logLines(),
                Contains("cached JRE " + windowsPath(cacheEntry) + " damaged: lib\\charsets.jar"));
    EXPECT_THAT(third.logLines(), Contains("Caching JRE in " + windowsPath(cacheEntry)));
    EXPECT_TRUE(fs::exists(home + "/lib/charsets.jar"));

    s.config(10204, "0").env("KESTRO_JNI_RECORD", windowsPath(jni.path()));
    RunResult uncached = s.run({"-q"});
    uncached.expectExitCode(0);
    EXPECT_THAT(uncached.logLines(), Not(Contains(HasSubstr("cached JRE"))));
    EXPECT_THAT(uncached.logLines(), Not(Contains(HasSubstr("Caching JRE"))));
    EXPECT_THAT(uncached.logLines(),
                Contains("JRE dir: " + lineStartingWith(uncached.logLines(), "Temp dir: ") + "\\jre"));
}

// Two launchers shipping the same runtime start for the first time at once (the runtime's unpacker
// holds the first one until the second waits for it): both run, on one entry made once.
TEST_F(WholeLaunch, TwoFirstStartsAtOnceMakeOneCacheEntryAndBothRun) {
    RuntimeDescription description = describe(Layout::Jre, "1.8.0_300");
    description.packed = {"lib\\rt.jar"};
    shipRuntime(description, true);
    const std::string gate = s.directory() + "/unpack-gate";
    s.env("KESTRO_UNPACK_WAIT", windowsPath(gate)).timeout(std::chrono::minutes(3));

    RunningProgram a = s.startPacked({"-q"});
    const std::string logA = newNativeLog({});
    const std::string other = s.directory() + "/Other.exe";
    fs::copy_file(s.executablePath(), other);
    s.env("KESTRO_JNI_RECORD", windowsPath(jni.path() + ".b"));
    RunningProgram b = s.start(other, {"-q"});
    const std::string logB = newNativeLog({logA});
    const auto holds = [](const std::string& log, const char* line) {
        return testing::Matches(Contains(line))(linesOf(readFile(log)));
    };
    const char* unpacking = "waiting for unpack200 to finish";
    const char* waiting = "another start is caching the JRE; waiting";
    EXPECT_TRUE(waitUntil([&] {
        return (holds(logA, unpacking) && holds(logB, waiting)) ||
               (holds(logB, unpacking) && holds(logA, waiting));
    })) << "one start unpacks while the other waits for it";
    writeFile(gate, "");

    a.wait().expectExitCode(0);
    b.wait().expectExitCode(0);
    const std::string home = windowsPath(cacheEntry + "/jre");
    EXPECT_THAT(linesOf(readFile(logA)), Contains("Using cached JRE " + home));
    EXPECT_THAT(linesOf(readFile(logB)), Contains("Using cached JRE " + home));
    EXPECT_THAT(namesIn(s.userCacheDirectory() + "/runtimes"),
                ElementsAre(fs::path(cacheEntry).filename().string()));
    EXPECT_EQ(linesOf(readFile(cacheEntry + "/jre/bin/runtime-double.log")).size(), 1u) << "unpacked once";
    EXPECT_THAT(jni.lines(), Contains("DestroyJavaVM"));
    EXPECT_THAT(JniRecord(jni.path() + ".b").lines(), Contains("DestroyJavaVM"));
}

// The clean-up every start runs in the background also clears the user's cache: what no start has
// used for more than 30 days goes, and so does what a start ended while making an entry left, but an
// entry a running launcher uses stays however old, and so does what the launcher does not name.
TEST_F(WholeLaunch, EachStartRemovesCacheEntriesUnusedForThirtyDays) {
    shipRuntime(describe(Layout::Jre, "1.8.0_300"), true);
    // B: another launcher of the user, without a runtime of its own to cache.
    Scenario other("cache_cleaning_launcher");
    const Runtime installed =
        layOutRuntime(other.directory() + "/installed-jre", describe(Layout::Jre, "1.8.0_300"));
    const std::string goA = s.directory() + "/go-a", goB = s.directory() + "/go-b";
    other.config(107, "0")
        .config(122, "com.example.Main")
        .config(128, "EJAVA_HOME")
        .include("kestro-runtime.jar", readFile(runtimeJar()))
        .env("JAVA_HOME", installed.windowsHome)
        .env("LOCALAPPDATA", windowsPath(s.directory() + "/local"))
        .env("TMP", windowsPath(s.tmpDirectory()))
        .env("TEMP", windowsPath(s.tmpDirectory()))
        .env("KESTRO_JNI_RECORD", windowsPath(jni.path() + ".b"));
    ASSERT_EQ(other.run({"-q"}).exitCode, 0);
    other.env("KESTRO_JNI_SCENARIO", "wait=" + windowsPath(goB));
    std::vector<std::string> logs;
    for (const auto& entry : fs::directory_iterator(s.tmpDirectory()))
        logs.push_back(entry.path().string());

    // Under Wine every process holds an elevated administrator's token: A, started directly, leaves
    // the cache alone, as it does the queue; B starts as a double-click does on Windows, with the
    // limited token (limited-run), and cleans.
    s.env("KESTRO_JNI_SCENARIO", "wait=" + windowsPath(goA));
    RunningProgram a = s.startPacked({"-q"});
    ASSERT_TRUE(jni.waitFor("main called")) << "A never reached main";
    const std::string logA = newNativeLog(logs);
    logs.push_back(logA);
    ASSERT_TRUE(waitForLogLine(logA, "deletion queue left alone: this process runs elevated"));

    const std::string cache = s.userCacheDirectory();
    const auto daysAgo = [](int days) {
        return fs::file_time_type::clock::now() - std::chrono::hours(24 * days);
    };
    const std::string unused = cache + "/runtimes/0123456789abcdef0123";
    const std::string abandoned = cache + "/runtimes/0123456789abcdef0123.new4242";
    const std::string foreign = cache + "/runtimes/not-a-runtime";
    for (const std::string& directory : {unused, abandoned, foreign}) {
        fs::create_directories(directory + "/jre/bin");
        writeFile(directory + "/jre/bin/java.exe", "x");
    }
    fs::create_directories(cache + "/class-data");
    const std::string oldArchive = cache + "/class-data/" + std::string(32, 'a') + ".jsa";
    const std::string recentArchive = cache + "/class-data/" + std::string(32, 'b') + ".aot";
    writeFile(oldArchive, "old");
    writeFile(recentArchive, "recent");
    for (const std::string& path : {cacheEntry, unused, foreign, oldArchive})
        fs::last_write_time(path, daysAgo(31));
    fs::last_write_time(abandoned, daysAgo(1));
    fs::last_write_time(recentArchive, daysAgo(29));

    RunningProgram b =
        other.start(scenarioProgram("limited-run"), {windowsPath(other.executablePath()), "-q"});
    const std::string logB = newNativeLog(logs);
    ASSERT_TRUE(waitForLogLine(logB, "user cache cleaned"));
    EXPECT_FALSE(fs::exists(unused));
    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_FALSE(fs::exists(oldArchive));
    EXPECT_TRUE(fs::exists(cacheEntry + "/jre/bin/client/jvm.dll")) << "A runs from it";
    EXPECT_TRUE(fs::exists(foreign + "/jre/bin/java.exe"));
    EXPECT_TRUE(fs::exists(recentArchive));
    EXPECT_THAT(linesOf(readFile(logB)), Contains("in use, not deleting " + windowsPath(cacheEntry)));
    EXPECT_THAT(linesOf(readFile(logB)), Contains("delete unused runtime " + windowsPath(unused)));
    writeFile(goB, "");
    b.wait().expectExitCode(0);
    writeFile(goA, "");
    a.wait().expectExitCode(0);
    EXPECT_THAT(linesOf(readFile(logA)), Not(Contains("user cache cleaned"))) << "elevated";
}

// Class-data sharing as the runtime's version and the project decide: a runtime of Java 19 or later
// gets a dynamic archive in the user's cache, named the same from start to start, with its options
// right after the launcher's properties; an older runtime, an option or variable of the user's own,
// or the project's opt-out leave the options as they were.
TEST_F(WholeLaunch, ClassDataSharingOptionsFollowTheRuntimeAndTheProject) {
    struct Row {
        const char* what;
        const char* javaVersion;
        std::vector<std::pair<int, std::string>> config;
        std::vector<std::pair<std::string, std::string>> environment;
        bool shared;
    } rows[] = {
        {"Java 21", "21.0.2", {}, {}, true},
        {"Java 17", "17.0.15", {}, {}, false},
        {"-Xshare:off of the project", "21.0.2", {{123, "-Xshare:off"}}, {}, false},
        {"class_data_sharing = false", "21.0.2", {{10205, "0"}}, {}, false},
        {"JAVA_TOOL_OPTIONS", "21.0.2", {}, {{"JAVA_TOOL_OPTIONS", "-XX:SharedArchiveFile=mine.jsa"}}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Scenario t("class_data_sharing");
        t.config(107, "0")
            .config(122, "com.example.Main")
            .config(10205, "1")
            .include("kestro-runtime.jar", readFile(runtimeJar()));
        const Runtime runtime =
            layOutRuntime(t.directory() + "/installed-jre", describe(Layout::ModernJre, row.javaVersion));
        writeFile(runtime.home + "/release",
                  std::string("IMPLEMENTOR=\"Test\"\nJAVA_VERSION=\"") + row.javaVersion + "\"\n");
        t.config(128, "EJAVA_HOME").env("JAVA_HOME", runtime.windowsHome).unsetEnv("JAVA_TOOL_OPTIONS");
        for (const auto& [id, text] : row.config)
            t.config(id, text);
        for (const auto& [name, value] : row.environment)
            t.env(name, value);
        std::vector<std::string> archives;
        for (const char* run : {"first", "second"}) {
            const std::string file = t.directory() + "/jni." + run;
            t.env("KESTRO_JNI_RECORD", windowsPath(file));
            // The same executable again: a new build would be another program, with an archive of its own.
            (archives.empty() ? t.run({"-q"}) : t.runProgram(t.executablePath(), {"-q"})).expectExitCode(0);
            const std::vector<std::string> options = JniRecord(file).lines();
            const auto sharing = std::find_if(options.begin(), options.end(), [](const std::string& line) {
                return line.find(": -XX:SharedArchiveFile=") != std::string::npos;
            });
            if (!row.shared) {
                EXPECT_TRUE(sharing == options.end()) << *sharing;
                EXPECT_THAT(options, Not(Contains(HasSubstr("AutoCreateSharedArchive"))));
                continue;
            }
            ASSERT_NE(sharing, options.end());
            ASSERT_TRUE(sharing != options.begin() && sharing + 2 < options.end());
            EXPECT_THAT(*(sharing - 1), HasSubstr(": -Dkestro.")) << "right after the launcher's properties";
            EXPECT_THAT(*(sharing + 1), HasSubstr(": -XX:+AutoCreateSharedArchive"));
            EXPECT_THAT(*(sharing + 2), HasSubstr(": -Xlog:cds*=off"));
            const std::string archive = sharing->substr(sharing->find('=') + 1);
            EXPECT_THAT(archive, testing::MatchesRegex(".*\\\\class-data\\\\[0-9a-f]{32}\\.jsa"));
            EXPECT_EQ(archive.rfind(windowsPath(t.userCacheDirectory()), 0), 0u) << archive;
            archives.push_back(archive);
        }
        if (row.shared) {
            ASSERT_EQ(archives.size(), 2u);
            EXPECT_EQ(archives[0], archives[1]) << "the same archive at every start";
        }
    }
}

// A cached runtime that does not load: the search takes over, and the next start unpacks it anew
// rather than trusting an entry whose damage its sizes do not show.
TEST_F(WholeLaunch, UnloadableShippedRuntimeFallsBackToTheSearch) {
    RuntimeDescription broken = describe(Layout::Jre, "1.8.0_300");
    broken.jvmWithoutEntry = true;
    shipRuntime(broken, true);
    searchableRuntime();

    RunResult r = s.run({"-q"});

    r.expectExitCode(0);
    EXPECT_THAT(r.logLines(), Contains("ERROR: Could not load bundled JRE. Trying to find another JRE."));
    EXPECT_THAT(r.logLines(), Contains("cached JRE " + windowsPath(cacheEntry) + " will be made again"));
    EXPECT_THAT(jni.lines(), Contains("DestroyJavaVM"));
    RunResult next = s.run({"-q"});
    next.expectExitCode(0);
    EXPECT_THAT(next.logLines(), Contains("Caching JRE in " + windowsPath(cacheEntry)));
}

TEST_F(WholeLaunch, CorruptShippedRuntimeEndsWithTheCorruptedRuntimeText) {
    const std::string corrupted =
        "The bundled JRE is corrupted. If you downloaded the setup file please download it again.";
    s.include("jre.tar.gz", "this is no archive").config(151, "100");
    RunResult garbage = s.run();
    garbage.expectExitCode(1);
    garbage.expectConsoleError(corrupted);
    EXPECT_THAT(garbage.logLines(), Contains("ERROR: Could not untar JRE"));

    // An entry that climbs out of the runtime directory refuses the whole archive.
    Scenario escaping("escaping_runtime");
    escaping.config(107, "0")
        .config(151, "2048")
        .include("jre.tar.gz", test_support::gzipped(test_support::TarBuilder()
                                                         .directory("bin/")
                                                         .file("bin/java.exe", "x")
                                                         .file("../outside.txt", "escaped")
                                                         .finished()));
    RunResult climbing = escaping.run();
    climbing.expectExitCode(1);
    climbing.expectConsoleError(corrupted);
    EXPECT_THAT(climbing.logLines(), Contains("ERROR: extract file failed"));
    EXPECT_FALSE(fs::exists(extractionDirectory(climbing) + "/outside.txt"));
}

TEST_F(WholeLaunch, IncludedFileOfSeveralHundredMegabytes) {
    searchableRuntime();
    // Large enough that 32-bit sizes or a whole-file buffer would show; a pattern that a shifted or
    // dropped chunk cannot reproduce.
    std::string big(300u << 20, '\0');
    for (size_t i = 0; i < big.size(); i += 4096)
        snprintf(&big[i], 32, "%zu", i);
    s.include("big.bin", big);

    RunResult r = s.timeout(std::chrono::minutes(5)).run({"-q"});

    r.expectExitCode(0);
    const std::string extracted = extractionDirectory(r) + "/big.bin";
    ASSERT_EQ(fs::file_size(extracted), big.size());
    EXPECT_TRUE(readFile(extracted) == big) << "contents differ";
}

TEST_F(WholeLaunch, ExtractedFilesAreHeldWhileTheApplicationRuns) {
    searchableRuntime();
    const std::string go = s.directory() + "/go";
    s.include("app.cfg", "setting=1").env("KESTRO_JNI_SCENARIO", "wait=" + windowsPath(go));

    RunningProgram launcher = s.startPacked({"-q"});
    // By the call of main every file is extracted and held.
    ASSERT_TRUE(jni.waitFor("main called")) << "main was never called";
    std::string extracted;
    for (const auto& entry : fs::directory_iterator(s.tmpDirectory()))
        if (entry.path().filename().string().find("_dir") != std::string::npos)
            extracted = entry.path().string() + "/app.cfg";
    ASSERT_TRUE(fs::exists(extracted));

    // Another process queues a file inside (which no launcher does) and drains the queue: the file
    // stays, and its entry goes. The directory, queued again, stays whole and queued while in use.
    const std::string directory = fs::path(extracted).parent_path().string();
    s.runProgram(scenarioProgram("queue-tool"), {"file", windowsPath(extracted)}).expectExitCode(0);
    s.runProgram(scenarioProgram("queue-tool"), {"dir", windowsPath(directory)}).expectExitCode(0);
    s.runProgram(scenarioProgram("queue-tool"), {"drain"}).expectExitCode(0);
    EXPECT_TRUE(fs::exists(extracted));
    EXPECT_THAT(registry::readString(kDeletionQueueKey, "delete_file").value_or(""),
                Not(HasSubstr(windowsPath(extracted))));
    EXPECT_THAT(registry::readString(kDeletionQueueKey, "delete_dir").value_or(""),
                HasSubstr(windowsPath(directory) + ";"));
    writeFile(go, "");
    launcher.wait().expectExitCode(0);
}

// Without a usable TMP there is no place for the included files: nothing may land, relative, in
// the current directory, no VM may start without them, and nothing relative may reach the queue.
TEST_F(WholeLaunch, MissingTmpEndsWithInternalError7) {
    searchableRuntime();
    const std::string missing = windowsPath(s.directory() + "/missing");
    s.config(146, ".").config(1009, "Internal error {0}").env("TMP", missing).env("TEMP", missing);

    RunResult r = s.run();

    r.expectExitCode(1);
    EXPECT_THAT(r.stderrText, testing::StartsWith("Internal error 7\n\nLog: "));
    EXPECT_THAT(jni.lines(), IsEmpty()) << "no VM may be created";
    for (const auto& entry : fs::directory_iterator(s.directory()))
        EXPECT_THAT(entry.path().filename().string(), Not(HasSubstr("_dir")));
    for (const char* value : {"delete_file", "delete_dir"})
        for (const std::string& entry :
             entriesOf(registry::readString(kDeletionQueueKey, value).value_or("")))
            EXPECT_THAT(entry, testing::MatchesRegex("[A-Za-z]:\\\\.*")) << value;
}

// Every run queues its extraction directory and native log as soon as they exist, and every start
// clears what ended runs left, so TMP does not grow from run to run. A running launcher's directory
// stays whole, down to the files of its unpacked runtime, which it does not hold open.
TEST_F(WholeLaunch, EachStartRemovesWhatEndedRunsLeft) {
    shipRuntime(describe(Layout::Jre, "1.8.0_300"));
    s.include("app.cfg", "setting=1").timeout(std::chrono::minutes(3));
    const std::string goA = s.directory() + "/go-a", goB = s.directory() + "/go-b",
                      goC = s.directory() + "/go-c";

    // A ends as Java programs usually do, through System.exit, which never returns to the launcher.
    // Under Wine every process holds an elevated administrator's token, so A, started directly,
    // leaves the queue alone; B and C start as a user's double-click does on Windows, with the
    // limited token (limited-run), and drain it.
    s.env("KESTRO_JNI_SCENARIO", "wait=" + windowsPath(goA) + ";main=exit:0");
    RunningProgram a = s.startPacked();
    ASSERT_TRUE(jni.waitFor("main called")) << "A never reached main";
    const std::string logA = newNativeLog({});
    ASSERT_TRUE(waitForLogLine(logA, "deletion queue left alone: this process runs elevated"));
    const std::string directoryA = linuxPath(lineStartingWith(linesOf(readFile(logA)), "Temp dir: "));
    // The application writes into its working directory; nothing holds that file open.
    writeFile(directoryA + "/written-by-the-application.txt", "state");
    const std::vector<std::string> filesOfA = treeOf(directoryA);
    ASSERT_THAT(filesOfA, Contains("jre/bin/client/jvm.dll"));

    // B, another executable beside A, drains the queue on starting.
    const std::string other = s.directory() + "/Other.exe";
    fs::copy_file(s.executablePath(), other);
    s.env("KESTRO_JNI_SCENARIO", "wait=" + windowsPath(goB))
        .env("KESTRO_JNI_RECORD", windowsPath(jni.path() + ".b"));
    RunningProgram b = s.start(scenarioProgram("limited-run"), {windowsPath(other), "-q"});
    const std::string logB = newNativeLog({logA});
    ASSERT_TRUE(JniRecord(jni.path() + ".b").waitFor("main called")) << "B never reached main";
    ASSERT_TRUE(waitForLogLine(logB, "deletion queue drained"));
    EXPECT_EQ(treeOf(directoryA), filesOfA);
    EXPECT_EQ(readFile(directoryA + "/written-by-the-application.txt"), "state");
    EXPECT_TRUE(fs::exists(logA));
    EXPECT_THAT(linesOf(readFile(logB)), Contains("in use, not deleting " + windowsPath(directoryA)));
    const std::string directoryB = linuxPath(lineStartingWith(linesOf(readFile(logB)), "Temp dir: "));
    writeFile(goB, "");
    b.wait().expectExitCode(0);
    writeFile(goA, "");
    a.wait().expectExitCode(0);

    // C, A's executable again, once A and B have ended.
    s.env("KESTRO_JNI_SCENARIO", "wait=" + windowsPath(goC))
        .env("KESTRO_JNI_RECORD", windowsPath(jni.path() + ".c"));
    RunningProgram c = s.start(scenarioProgram("limited-run"), {windowsPath(s.executablePath()), "-q"});
    const std::string logC = newNativeLog({logA, logB});
    ASSERT_TRUE(JniRecord(jni.path() + ".c").waitFor("main called")) << "C never reached main";
    ASSERT_TRUE(waitForLogLine(logC, "deletion queue drained"));
    const std::string directoryC = lineStartingWith(linesOf(readFile(logC)), "Temp dir: ");
    EXPECT_FALSE(fs::exists(directoryA));
    EXPECT_FALSE(fs::exists(logA));
    EXPECT_FALSE(fs::exists(directoryB));
    EXPECT_FALSE(fs::exists(logB));
    // What is left is C's own, queued while C runs.
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(s.tmpDirectory()))
        left.push_back(entry.path().string());
    EXPECT_THAT(left, testing::UnorderedElementsAre(linuxPath(directoryC), logC));
    EXPECT_EQ(registry::readString(kDeletionQueueKey, "delete_dir"), directoryC + ";");
    EXPECT_EQ(registry::readString(kDeletionQueueKey, "delete_file"), windowsPath(logC) + ";");
    writeFile(goC, "");
    c.wait().expectExitCode(0);
}

// A second start while the first runs ends with 0 at once. Only when the hand-over is asked for do its
// arguments wait in the file the first instance's Java side was told about (the Java side's listener
// would read it; the double does not, so the file stays).
TEST_F(WholeLaunch, SecondStartWhileTheFirstRunsEndsWithZero) {
    searchableRuntime();
    for (const bool handOver : {false, true}) {
        SCOPED_TRACE(handOver ? "hand-over asked for" : "no hand-over");
        const std::string go = s.directory() + (handOver ? "/go-2" : "/go-1");
        fs::remove(jni.path());
        s.config(10201, handOver ? "1" : "0").env("KESTRO_JNI_SCENARIO", "wait=" + windowsPath(go));

        RunningProgram first = s.startPacked({"-q"});
        ASSERT_TRUE(jni.waitFor("main called")) << "the first instance never reached main";
        RunResult second = s.runProgram(s.executablePath(), {"open",
                                                             "Zdj\xC4\x99"
                                                             "cie \xC5\xBC.txt",
                                                             "\xCE\xA9"});
        writeFile(go, "");
        first.wait().expectExitCode(0);

        second.expectExitCode(0);
        EXPECT_THAT(second.logLines(), Contains(HasSubstr("another instance is running")));
        EXPECT_THAT(second.logLines(), Not(Contains("Starting work")));
        EXPECT_THAT(jni.options(), Contains(testing::StartsWith("-Dkestro.semaphoreName=")));
        const std::string commFile = lineStartingWith(jni.options(), "-Dkestro.processCommFile=");
        if (handOver) {
            EXPECT_EQ(fromUtf16Le(readFile(linuxPath(commFile))),
                      u"open \"Zdj\u0119cie \u017c.txt\" \u03a9\n")
                << "the Java side was told " << commFile;
            continue;
        }
        for (const auto& entry : fs::directory_iterator(s.tmpDirectory()))
            EXPECT_EQ(entry.path().filename().string().rfind("kqx_p", 0), std::string::npos)
                << "arguments handed over without being asked to: " << entry.path();
    }
}

} // namespace
} // namespace kestro::scenario
