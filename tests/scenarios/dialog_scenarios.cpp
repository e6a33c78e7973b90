// Dialog mode, the way most users meet the launcher: a launch without "-q" or "-c" under the virtual
// screen, its progress and question dialogs read and driven through ui-probe. The message texts are
// Greek and Chinese, which the Western ANSI code page of the prefix cannot hold, so a text that passed
// through 8 bits anywhere would come back as question marks.
#include "dialog_probe.h"
#include "harness.h"
#include "http_server.h"
#include "runtime_layout.h"

#include "executable/pe_resources.h"
#include "payload/payload_codec.h"

#include <algorithm>
#include <filesystem>

namespace kestro::scenario {
namespace {

namespace fs = std::filesystem;
using testing::Contains;
using testing::Each;
using testing::HasSubstr;
using testing::Le;
using testing::Not;

constexpr int kStatusText = 1003;
constexpr int kCancel = 2;
constexpr int kDownload = 1004;
constexpr int kLocate = 1005;

const std::u16string kCaption = u"\u039a\u03ad\u03c3\u03c4\u03c1\u03bf \u5b89\u88c5";
const std::string kCaptionUtf8 = "\xce\x9a\xce\xad\xcf\x83\xcf\x84\xcf\x81\xce\xbf \xe5\xae\x89\xe8\xa3\x85";
const std::u16string kStatus = u"\u03a0\u03c1\u03bf\u03b5\u03c4\u03bf\u03b9\u03bc\u03b1\u03c3\u03af\u03b1 "
                               u"\u6b63\u5728\u51c6\u5907";
const std::string kStatusUtf8 =
    "\xce\xa0\xcf\x81\xce\xbf\xce\xb5\xcf\x84\xce\xbf\xce\xb9\xce\xbc\xce\xb1\xcf\x83"
    "\xce\xaf\xce\xb1 \xe6\xad\xa3\xe5\x9c\xa8\xe5\x87\x86\xe5\xa4\x87";
const std::u16string kCancelText = u"\u0386\u03ba\u03c5\u03c1\u03bf";
const std::string kCancelUtf8 = "\xce\x86\xce\xba\xcf\x85\xcf\x81\xce\xbf";
const char kCorrupted[] = "The installation file is corrupted.";
constexpr uint16_t kDialogResources = 5; // RT_DIALOG

// A launcher whose search finds nothing unless a scenario adds a runtime, its messages in Greek and
// Chinese, errors in message boxes, the JNI double recording what the VM is asked to do.
class DialogMode : public JavaScenario {
  protected:
    DialogMode() : dialogs(s) {
        s.config(107, "1")
            .config(128, "")
            .message(20004, u"Java ausw\u00e4hlen")
            .message(20005, u"Java %S \u2013 %S: \u03bb\u03ae\u03c8\u03b7 \u6216 \u5bfb\u627e?")
            .message(20006, u"\u0394\u03b5\u03bd Java %S \u2013 %S. \u627e\u4e0d\u5230 Java\u3002")
            .message(20007, kStatus)
            .message(20010, u"\u039b\u03ae\u03c8\u03b7")
            .message(20011, u"\u0395\u03cd\u03c1\u03b5\u03c3\u03b7")
            .message(20012, kCancelText)
            .message(20013, kCaption)
            .message(20014, u"\u0397 \u03b5\u03c6\u03b1\u03c1\u03bc\u03bf\u03b3\u03ae \u03b4\u03b5\u03bd "
                            u"\u03be\u03b5\u03ba\u03af\u03bd\u03b7\u03c3\u03b5.")
            .message(20003, u"The Java runtime could not be downloaded.")
            .message(20016, u"The installation file is corrupted.");
    }

    bool mainWasCalled() const { return !withPrefix(jni.lines(), "main called").empty(); }

    static std::string message(const RunResult& r) {
        return r.messageBoxes.empty() ? "<no box>" : r.messageBoxes[0].text;
    }

    DialogProbe dialogs;
};

TEST_F(DialogMode, NoRuntimeAsksWithoutDownloadAndCancelEndsWith1) {
    s.config(126, "1.8");

    // Each view is checked while the launcher waits, so that a failure's screenshot shows it.
    RunningProgram launcher = s.startPacked();
    const DialogView progress = dialogs.view("progress");
    EXPECT_TRUE(progress.visible);
    EXPECT_EQ(progress.className, "MyDialogClass");
    EXPECT_EQ(progress.title, kCaptionUtf8);
    EXPECT_EQ(progress.text(kStatusText), kStatusUtf8);
    EXPECT_EQ(progress.text(kCancel), kCancelUtf8);
    EXPECT_FALSE(progress.shows(1002)) << "the download's status line is hidden";
    EXPECT_EQ(progress.left, progress.centreLeft) << "centred on the screen";
    EXPECT_EQ(progress.top, progress.centreTop);
    EXPECT_EQ(progress.progressMaximum, 100);
    EXPECT_EQ(progress.commonControlsVersion, 6) << "the launcher's manifest asks for the current controls";

    const DialogView question = dialogs.view("question");
    EXPECT_EQ(question.title, kCaptionUtf8);
    // The open bound shows as "-".
    EXPECT_EQ(question.text(kStatusText), "\xce\x94\xce\xb5\xce\xbd Java 1.8 \xe2\x80\x93 -. "
                                          "\xe6\x89\xbe\xe4\xb8\x8d\xe5\x88\xb0 Java\xe3\x80\x82");
    EXPECT_FALSE(question.shows(kDownload)) << "no download location, no Download button";
    EXPECT_TRUE(question.shows(kLocate));
    EXPECT_EQ(question.text(kLocate), "\xce\x95\xcf\x8d\xcf\x81\xce\xb5\xcf\x83\xce\xb7");
    EXPECT_EQ(question.text(kCancel), kCancelUtf8);
    EXPECT_EQ(question.left, question.centreLeft) << "centred on the progress dialog";
    EXPECT_EQ(question.top, question.centreTop);

    dialogs.click("question", kCancel);
    RunResult r = launcher.wait();

    r.expectExitCode(1);
    EXPECT_EQ(registry::readDword(kLauncherKey, "InstallStarted"), 0u);
    EXPECT_FALSE(mainWasCalled());
}

// The file dialog opens where runtimes are installed (a name relative to it finds one there) and
// leaves the working directory alone: after an unusable pick, Download puts the archive into the
// extraction directory, not into the picked runtime's folder, and the downloaded runtime starts the
// program. A download the server refuses says why.
TEST_F(DialogMode, DownloadAfterAnUnusablePick) {
    const std::string served = s.directory() + "/served";
    fs::create_directories(served);
    const std::string archive = runtimeArchive(describe(Layout::Jre, "1.8.0_300"));
    fs::copy_file(archive, served + "/jre.tar.gz");
    HttpServer server(served, s.directory() + "/requests.txt", false);
    ASSERT_NE(server.port(), 0);
    const std::string installed =
        "Kestro " + std::string(testing::UnitTest::GetInstance()->current_test_info()->name());
    const std::string programFiles = cDrive() + "/Program Files/" + installed;
    fs::remove_all(programFiles);
    const Runtime unusable = layOutRuntime(programFiles, describe(Layout::Jre, "1.8.0_300"));
    unusable.setBehaviour("exit=1");
    s.config(126, "1.8").config(127, "1.9").config(150, server.url("/files/jre.tar.gz"));
    s.config(1001, "No usable Java.").env("KESTRO_JNI_SCENARIO", "main=exit:0");

    RunningProgram launcher = s.startPacked();
    const DialogView question = dialogs.view("question");
    EXPECT_EQ(question.text(kStatusText), "Java 1.8 \xe2\x80\x93 1.9: \xce\xbb\xce\xae\xcf\x88\xce\xb7 "
                                          "\xe6\x88\x96 \xe5\xaf\xbb\xe6\x89\xbe?");
    EXPECT_TRUE(question.shows(kDownload));
    EXPECT_EQ(question.text(kDownload), "\xce\x9b\xce\xae\xcf\x88\xce\xb7");
    dialogs.click("question", kLocate);
    dialogs.pick(installed + "\\bin\\java.exe");
    dialogs.click("question", kDownload);
    RunResult r = launcher.wait();

    r.expectExitCode(0);
    ASSERT_EQ(r.messageBoxes.size(), 1u);
    EXPECT_EQ(message(r), r.errorText("No usable Java."));
    EXPECT_THAT(r.logLines(), Contains("Got JRE location C:\\Program Files\\" + installed +
                                       "\\bin\\java.exe (java exe: 1)"))
        << "the file dialog opened in the program-files folder";
    const std::vector<std::string> log = r.logLines();
    const auto temp = std::find_if(log.begin(), log.end(),
                                   [](const std::string& line) { return line.rfind("Temp dir: ", 0) == 0; });
    ASSERT_NE(temp, log.end());
    const std::string extraction = temp->substr(10);
    EXPECT_THAT(r.logLines(), Contains("Downloading " + server.url("/files/jre.tar.gz") + " into " +
                                       extraction + "\\jre.tar.gz"));
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_THAT(r.logLines(), Contains("untaring JRE was successful"));
    EXPECT_TRUE(mainWasCalled()) << "the downloaded runtime did not start the application";
    EXPECT_FALSE(fs::exists(unusable.javaBin + "/jre.tar.gz")) << "the file dialog's folder stayed current";
    EXPECT_FALSE(fs::exists(unusable.javaBin + "/jre"));
    fs::remove_all(programFiles);

    // The archive is gone from the server now: the box says so, and what to do.
    s.config(150, server.url("/files/gone.tar.gz"));
    RunningProgram refused = s.startPacked();
    dialogs.view("question");
    dialogs.click("question", kDownload);
    RunResult gone = refused.wait();

    gone.expectExitCode(1);
    ASSERT_EQ(gone.messageBoxes.size(), 1u);
    EXPECT_EQ(gone.messageBoxes[0].caption, kCaptionUtf8);
    EXPECT_EQ(message(gone),
              gone.errorText("The Java runtime could not be downloaded.\n\nThe server 127.0.0.1:" +
                             std::to_string(server.port()) + " has no file at " +
                             server.url("/files/gone.tar.gz") +
                             " (HTTP 404). The program's vendor needs to update the download "
                             "address."));
    EXPECT_EQ(gone.messageBoxes[0].owner, "MyDialogClass");
}

TEST_F(DialogMode, LocateLoadsThePickedRuntimeAndRemembersIt) {
    MachineRegistryScope machine;
    const Runtime runtime = layOutRuntime(s.directory() + "/picked-jre", describe(Layout::Jre, "1.8.0_300"));
    const std::string javaExe = windowsPath(runtime.javaBin + "/java.exe");
    Runtime broken = layOutRuntime(s.directory() + "/broken-jre", describe(Layout::Jre, "1.8.0_300"));
    broken.setBehaviour("exit=1");
    s.config(1001, "No usable Java.").env("KESTRO_JNI_SCENARIO", "main=exit:0");

    RunningProgram launcher = s.startPacked();
    dialogs.view("question");
    dialogs.click("question", kLocate);
    const DialogView open = dialogs.view("open");
    // The file dialog takes an 8-bit title: what the ANSI code page holds of message 20004 survives.
    EXPECT_EQ(open.title, "Java ausw\xc3\xa4hlen");
    dialogs.cancelPick();
    // A cancelled pick leaves the question open: Locate works again. An unusable pick is told in a
    // box the question waits for, and the question stays.
    dialogs.click("question", kLocate);
    dialogs.pick(windowsPath(broken.javaBin + "/java.exe"));
    dialogs.click("question", kLocate);
    dialogs.pick(javaExe);
    RunResult r = launcher.wait();

    r.expectExitCode(0);
    ASSERT_EQ(r.messageBoxes.size(), 1u);
    EXPECT_EQ(message(r), r.errorText("No usable Java."));
    EXPECT_EQ(r.messageBoxes[0].owner, "#32770") << "owned by the question, not the progress dialog";
    EXPECT_TRUE(mainWasCalled());
    std::string key = javaExe;
    std::replace(key.begin(), key.end(), '\\', '/');
    EXPECT_TRUE(registry::keyExists("HKLM\\SOFTWARE\\Morvane\\kestro\\locatedjvms\\" + key) ||
                registry::keyExists("HKCU\\SOFTWARE\\Morvane\\kestro\\locatedjvms\\" + key))
        << "the pick is not in the located list: " << key;
}

// The watcher moves the bar while the application starts, hides the dialog once the application shows
// a window, and the hidden dialog's Cancel still ends the launch.
TEST_F(DialogMode, WatcherHidesTheDialogAndCancelEndsWith0) {
    searchableRuntime();
    const std::string go = s.directory() + "/show-window";
    s.env("KESTRO_JNI_SCENARIO", "wait=" + windowsPath(go) + ";main=window:60000");

    RunningProgram launcher = s.startPacked();
    const std::vector<int> rising = dialogs.positions(60000, 70);
    ASSERT_FALSE(rising.empty());
    EXPECT_EQ(rising.back(), 70) << "maximum - 10";
    EXPECT_THAT(rising, Each(Le(70)));
    EXPECT_THAT(dialogs.positions(1500), testing::ElementsAre(70)) << "the bar stays while the dialog shows";
    EXPECT_EQ(dialogs.view("progress").progressMaximum, 80);
    writeFile(go, "");
    dialogs.waitUntilHidden(60000);
    const DialogView hidden = dialogs.view("progress", 0);
    EXPECT_TRUE(hidden.found) << "the dialog stays while hidden";
    EXPECT_FALSE(hidden.visible);
    dialogs.click("progress", kCancel);
    RunResult r = launcher.wait();

    r.expectExitCode(0);
    EXPECT_THAT(r.logLines(), Contains("Java window visible"));
    EXPECT_THAT(r.logLines(), Contains("Canceled installer"));
    EXPECT_TRUE(r.messageBoxes.empty());
}

// A packed shipped runtime: the bar runs to 100 while the archive unpacks, the animation takes it
// towards 200 while the libraries are restored, the watcher on towards 240. A VM that does not reach
// the program without InstallStarted makes the launch give up after 600 steps of the watcher (a
// minute, by design).
TEST_F(DialogMode, PackedRuntimeAnimatesAndAStartThatDoesNotGetThroughTimesOut) {
    RuntimeDescription description = describe(Layout::Jre, "1.8.0_300");
    description.packed = {"lib\\rt.jar"};
    s.include("jre.tar.gz", readFile(runtimeArchive(description)));
    const std::string unpacked = s.directory() + "/unpack-may-end";
    s.env("KESTRO_UNPACK_WAIT", windowsPath(unpacked))
        .env("KESTRO_JNI_SCENARIO", "createwait=" + windowsPath(s.directory() + "/never"))
        .timeout(std::chrono::minutes(4));

    RunningProgram launcher = s.startPacked();
    const std::vector<int> unpacking = dialogs.positions(60000, 200);
    EXPECT_EQ(dialogs.view("progress").progressMaximum, 250);
    ASSERT_FALSE(unpacking.empty());
    EXPECT_EQ(unpacking.back(), 200);
    std::vector<int> animated;
    std::copy_if(unpacking.begin(), unpacking.end(), std::back_inserter(animated),
                 [](int p) { return p > 100; });
    EXPECT_TRUE(std::is_sorted(animated.begin(), animated.end())) << testing::PrintToString(unpacking);
    EXPECT_THAT(animated, Each(testing::Truly([](int p) { return p % 10 == 0 && p <= 200; })));
    writeFile(unpacked, "");
    RunResult r = launcher.wait();

    r.expectExitCode(1);
    EXPECT_THAT(r.logLines(), Contains("timeout"));
    ASSERT_EQ(r.messageBoxes.size(), 1u);
    EXPECT_EQ(r.messageBoxes[0].caption, kCaptionUtf8);
    EXPECT_EQ(message(r),
              r.errorText("\xce\x97 \xce\xb5\xcf\x86\xce\xb1\xcf\x81\xce\xbc\xce\xbf\xce\xb3\xce\xae "
                          "\xce\xb4\xce\xb5\xce\xbd \xce\xbe\xce\xb5\xce\xba\xce\xaf\xce\xbd\xce\xb7"
                          "\xcf\x83\xce\xb5."));
    EXPECT_EQ(r.messageBoxes[0].owner, "MyDialogClass");
}

// The launcher around a running program in dialog mode: it ends with the program, with the exit code
// java gives, so that the next start starts; InstallStarted tells the next start whether this one
// got through.
TEST_F(DialogMode, TheProgramsEndIsTheLaunchersEnd) {
    searchableRuntime();
    s.config(102, "1")
        .config(103, "error.log")
        .message(20015, u"Last start failed. Choose a runtime?")
        .message(20019, u"The application failed.")
        .timeout(std::chrono::seconds(30));

    // main returns: the launcher ends, and the start got through.
    RunResult returned = s.run();
    returned.expectExitCode(0);
    EXPECT_TRUE(returned.messageBoxes.empty());
    EXPECT_EQ(returned.logLines().back(), "exit code 0");
    EXPECT_EQ(registry::readDword(kLauncherKey, "InstallStarted"), 0u);

    // The next start starts, asking nothing. Its main throws while another thread of the program
    // works: the stack is in the error log at once, the program goes on, and the launcher ends with 1
    // once that thread has ended, telling the user.
    const std::string threadMayEnd = s.directory() + "/thread-may-end";
    s.env("KESTRO_JNI_SCENARIO", "main=throw;thread=" + windowsPath(threadMayEnd));
    fs::remove(jni.path());
    RunningProgram throwing = s.startPacked();
    ASSERT_TRUE(jni.waitFor("main waits for the program's thread"));
    EXPECT_EQ(registry::readDword(kLauncherKey, "InstallStarted"), 0u) << "cleared once the program runs";
    EXPECT_THAT(readFile(s.directory() + "/error.log"),
                testing::StartsWith("Exception in thread \"main\" java.lang.IllegalStateException: the "
                                    "double's main failed: \u017c\u00f3\u0142w\n\tat "));
    writeFile(threadMayEnd, "");
    RunResult threw = throwing.wait();
    threw.expectExitCode(1);
    ASSERT_EQ(threw.messageBoxes.size(), 1u) << "asked after a start that got through";
    EXPECT_EQ(message(threw),
              threw.errorText("The application failed.\n\njava.lang.IllegalStateException: the double's "
                              "main failed: \u017c\u00f3\u0142w"));
    EXPECT_THAT(threw.logLines(), Not(Contains(HasSubstr("another instance"))));
    const std::string record = readFile(jni.path());
    EXPECT_LT(record.find("the program's thread ends"), record.find("DestroyJavaVM"))
        << "main came back first";

    // A VM that cannot be created is still 1005, and the next start asks: the answer (no) lets it
    // search as usual, and its program's System.exit(3) keeps 3.
    s.env("KESTRO_JNI_SCENARIO", "create=fail");
    RunResult failed = s.run();
    failed.expectExitCode(1);
    EXPECT_EQ(message(failed), failed.errorText("The JVM could not be started."));
    EXPECT_EQ(registry::readDword(kLauncherKey, "InstallStarted"), 1u);
    s.env("KESTRO_JNI_SCENARIO", "main=exit:3");
    RunResult exited = s.run();
    exited.expectExitCode(3);
    ASSERT_EQ(exited.messageBoxes.size(), 1u);
    EXPECT_EQ(exited.messageBoxes[0].text, "Last start failed. Choose a runtime?");
    EXPECT_EQ(exited.logLines().back(), "exit code 3");
    EXPECT_EQ(registry::readDword(kLauncherKey, "InstallStarted"), 0u);
}

// A program without a window of its own (a tray or headless program, a long start) is never ended for
// it: past the watcher's time-out (made short here) the progress dialog goes and the program runs on.
// Its main runs on a thread with the runtime's default stack.
TEST_F(DialogMode, AWindowlessProgramOutlivesTheWatcher) {
    searchableRuntime();
    const std::string mayEnd = s.directory() + "/may-end";
    s.env("KESTRO_TEST_WATCH_TIMEOUT_MS", "1000").env("KESTRO_JNI_SCENARIO", "wait=" + windowsPath(mayEnd));

    RunningProgram launcher = s.startPacked();
    EXPECT_TRUE(dialogs.view("progress").visible);
    ASSERT_TRUE(jni.waitFor("main called"));
    dialogs.waitUntilHidden(60000);
    writeFile(mayEnd, "");
    RunResult r = launcher.wait();

    r.expectExitCode(0);
    EXPECT_THAT(r.logLines(), Contains("no Java window yet; the program runs"));
    EXPECT_THAT(r.logLines(), Not(Contains("timeout")));
    EXPECT_TRUE(r.messageBoxes.empty());
    EXPECT_THAT(r.logLines(), Contains("program thread stack: 1572864 bytes")) << "the double's default";
    EXPECT_TRUE(jni.waitFor("main runs on a stack of 1572864 bytes"));
}

// Without its progress dialog the start would show nothing and end with 0: an error instead.
TEST_F(DialogMode, AProgressDialogThatCannotBeMadeIsAnError) {
    std::string image = readFile(launcherStub());
    packer::ResourceTree tree;
    std::string error;
    ASSERT_TRUE(packer::readResources(image, &tree, &error)) << error;
    ASSERT_EQ(tree[kDialogResources].erase(103), 1u);
    ASSERT_TRUE(packer::writeResources(&image, tree, &error)) << error;
    writeFile(s.directory() + "/stub-without-progress-dialog.exe", image);
    s.stub(s.directory() + "/stub-without-progress-dialog.exe").config(1009, "Internal error {0}");

    RunResult r = s.run();

    r.expectExitCode(1);
    ASSERT_EQ(r.messageBoxes.size(), 1u);
    EXPECT_EQ(message(r), r.errorText("Internal error 21"));
    EXPECT_THAT(r.logLines(), Contains(HasSubstr("ERROR: The progress dialog could not run")));
}

TEST_F(DialogMode, FailedExtractionIsToldInABoxOwnedByTheDialog) {
    payload::PayloadTables tables;
    tables.config = {{107, "1"}, {2002, "2"}, {2003, "one.txt;two.txt;"}};
    tables.messages = {{20013, kCaption}, {20016, u"The installation file is corrupted."}};
    std::string bytes;
    payload::appendTables(bytes, tables);
    payload::appendIncludedFile(bytes, "first");
    payload::appendIncludedFile(bytes, std::string(20000, 'x'));
    bytes.resize(bytes.size() - 5000);
    s.rawPayload(bytes);

    RunResult r = s.run();

    r.expectExitCode(1);
    ASSERT_EQ(r.messageBoxes.size(), 1u);
    EXPECT_EQ(r.messageBoxes[0].caption, kCaptionUtf8);
    EXPECT_EQ(r.messageBoxes[0].text, r.errorText(kCorrupted)) << "the ordinary error path";
    EXPECT_EQ(r.messageBoxes[0].owner, "MyDialogClass");
}

} // namespace
} // namespace kestro::scenario
