// The launcher's foundations seen from outside: the payload read into the store, the fatal errors of
// a missing or truncated payload, where errors go, the native log and the deletion queue.
#include "harness.h"

#include <filesystem>
#include <optional>
#include <set>

namespace kestro::scenario {
namespace {

using testing::AnyOf;
using testing::Contains;
using testing::ElementsAre;
using testing::Eq;
using testing::Field;
using testing::IsEmpty;
using testing::MatchesRegex;
using testing::Not;
using testing::StartsWith;

namespace fs = std::filesystem;

const std::string kCp1252Text = "Gr\xFC\xDF"
                                "e \x80"; // "Grüße €" in code page 1252

size_t payloadStartOf(const std::string& executable) {
    size_t start = 0;
    std::string error;
    EXPECT_TRUE(payload::findPayloadStart(readFile(executable), &start, &error)) << error;
    return start;
}

TEST(PayloadStore, ConfigurationAndMessagesRoundTrip) {
    Scenario s("store_round_trip");
    s.stub(scenarioProgram("store-dump"))
        .config(107, "0")
        .config(101, "replaced by the later record")
        .config(101, kCp1252Text)
        .config(141, " 12x")
        .config(10114, "255,128,0")
        .message(20013, u"Fehler \u00fc\u20ac \U0001F600")
        .message(20007, u"");

    RunResult r = s.run({"101", "141", "10114", "20013", "20007", "999"});

    r.expectExitCode(0);
    auto lines = r.stdoutLines();
    EXPECT_THAT(lines, Contains("config 101 text " + hexBytes(kCp1252Text) + " number 0 colour 00000000"));
    EXPECT_THAT(lines, Contains("config 141 text " + hexBytes(" 12x") + " number 12 colour 0000000c"));
    EXPECT_THAT(lines,
                Contains("config 10114 text " + hexBytes("255,128,0") + " number 255 colour 000080ff"));
    EXPECT_THAT(lines, Contains("message 20013 " + hexUnits(u"Fehler \u00fc\u20ac \U0001F600")));
    EXPECT_THAT(lines, Contains("message 20007 "));
    EXPECT_THAT(lines, Contains("config 999 text  number 0 colour 00000000"));
    EXPECT_THAT(lines, Contains("message 999 "));
    size_t filesAt = payloadStartOf(s.executablePath()) + s.packedLayout().end;
    EXPECT_THAT(lines, Contains("files at " + std::to_string(filesAt)));
}

TEST(PayloadStore, EmptyTablesReadAsEmptyTextsAndZero) {
    Scenario s("store_empty_tables");
    s.stub(scenarioProgram("store-dump"));

    RunResult r = s.run({"107", "20013"});

    r.expectExitCode(0);
    EXPECT_THAT(r.stdoutLines(), Contains("config 107 text  number 0 colour 00000000"));
    EXPECT_THAT(r.stdoutLines(), Contains("message 20013 "));
}

// Message-box mode is on until the load has read configuration 107, so a missing or truncated
// payload is always reported in a message box; envrun reads and closes it.
TEST(MalformedPayload, NothingAppendedIsAFatalError) {
    Scenario s("nothing_appended");
    s.appendNothing();

    RunResult r = s.run();

    r.expectExitCode(1);
    // The stripped stub ends with its last section, so the magic is a short read; a stub with an
    // overlay would instead read a wrong magic.
    EXPECT_THAT(r.messageBoxes,
                ElementsAre(Field(&MessageBoxShown::text, AnyOf(Eq(r.errorText("Internal Error: readInt")),
                                                                Eq(r.errorText("Internal Error: magic"))))));
    EXPECT_THAT(r.logLines(), Contains("Init"));
    EXPECT_THAT(r.logLines(), Not(Contains("Init done")));
}

TEST(MalformedPayload, WrongMagicIsAFatalError) {
    Scenario s("wrong_magic");
    s.rawPayload(std::string("\xD5\x13\xE4\xE9\0\0\0\0\0\0\0\0", 12));

    RunResult r = s.run();

    r.expectExitCode(1);
    r.expectMessageBoxError("Internal Error: magic");
}

struct Truncation {
    const char* where;
    size_t (*offset)(const PayloadLayout&);
    const char* fatalText;
};

class TruncatedPayload : public testing::TestWithParam<Truncation> {};

TEST_P(TruncatedPayload, EndsWithTheReadersFatalText) {
    Scenario s("truncated");
    s.config(101, "Application")
        .config(2001, "k")
        .message(20013, u"Caption \u00fc")
        .message(20007, u"Status");
    s.truncatePayloadAt(GetParam().offset(s.packedLayout()));

    RunResult r = s.run();

    r.expectExitCode(1);
    r.expectMessageBoxError(GetParam().fatalText);
    // readInt tells the system's last error on standard output before failing.
    if (std::string(GetParam().fatalText) == "Internal Error: readInt") {
        EXPECT_THAT(r.stdoutText, StartsWith("error "));
    }
}

INSTANTIATE_TEST_SUITE_P(
    InsideEachTable, TruncatedPayload,
    testing::Values(
        Truncation{"magic", [](const PayloadLayout&) -> size_t { return 2; }, "Internal Error: readInt"},
        Truncation{"configCount", [](const PayloadLayout& l) { return l.configCount + 2; },
                   "Internal Error: readInt"},
        Truncation{"configId", [](const PayloadLayout& l) { return l.configRecords[1].id + 1; },
                   "Internal Error: readInt"},
        Truncation{"configLength", [](const PayloadLayout& l) { return l.configRecords[0].length + 3; },
                   "Internal Error: readString"},
        Truncation{"configText", [](const PayloadLayout& l) { return l.configRecords[0].text + 4; },
                   "Internal Error: readString"},
        Truncation{"messageCount", [](const PayloadLayout& l) { return l.messageCount; },
                   "Internal Error: readInt"},
        Truncation{"messageId", [](const PayloadLayout& l) { return l.messageRecords[1].id + 2; },
                   "Internal Error: readInt"},
        Truncation{"messageLength", [](const PayloadLayout& l) { return l.messageRecords[0].length + 1; },
                   "Internal Error: readWString"},
        Truncation{"messageText", [](const PayloadLayout& l) { return l.messageRecords[1].text + 3; },
                   "Internal Error: readWString"}),
    [](const testing::TestParamInfo<Truncation>& row) { return std::string(row.param.where); });

TEST(MalformedPayload, PayloadEndingRightAfterTheTablesIsComplete) {
    Scenario s("cut_after_tables");
    s.config(107, "0").message(20013, u"Caption");
    s.truncatePayloadAt(s.packedLayout().end);

    RunResult r = s.run({"-q"});

    // The launch goes on and, with no Java runtime here, ends with 83 in quiet mode.
    r.expectExitCode(83);
    EXPECT_THAT(r.messageBoxes, IsEmpty());
    EXPECT_THAT(r.logLines(), Contains("Init done"));
}

// Configuration 107 takes effect once the load is complete: before, errors go to a message box even
// when 107 is 0; after, any value but 1 and 5 sends them to standard error.
TEST(ErrorChannel, TruncatedPayloadIsReportedInABoxWhatever107Says) {
    Scenario s("truncated_with_console_type");
    s.config(107, "0").message(20013, u"Caption");
    s.truncatePayloadAt(s.packedLayout().messageRecords[0].text + 1);

    RunResult r = s.run();

    r.expectExitCode(1);
    r.expectMessageBoxError("Internal Error: readWString");
}

TEST(ErrorChannel, ConfigurationSelectsStandardErrorOrMessageBox) {
    for (const char* type : {"0", "2", ""}) {
        SCOPED_TRACE(std::string("107 = \"") + type + "\"");
        Scenario s(std::string("console_type_") + type);
        s.stub(scenarioProgram("store-dump")).config(107, type);

        RunResult r = s.run({"--fatal", "Something failed"});

        r.expectExitCode(1);
        r.expectConsoleError("Something failed");
    }
    for (const char* type : {"1", "5"}) {
        SCOPED_TRACE(std::string("107 = ") + type);
        Scenario s(std::string("gui_type_") + type);
        s.stub(scenarioProgram("store-dump")).config(107, type);

        RunResult r = s.run({"--fatal", "Something failed"});

        r.expectExitCode(1);
        r.expectMessageBoxError("Something failed");
        EXPECT_EQ(r.stderrText, "");
    }
}

TEST(NativeLog, CreatedInTmpWithItsHeader) {
    Scenario s("native_log");
    s.config(107, "0");

    RunResult r = s.run({"-q"});

    r.expectExitCode(83); // no Java runtime here
    ASSERT_TRUE(r.nativeLogPath) << "no qvx_nlog_* in " << s.tmpDirectory();
    EXPECT_EQ(fs::path(*r.nativeLogPath).parent_path(), fs::path(s.tmpDirectory()));
    EXPECT_THAT(fs::path(*r.nativeLogPath).filename().string(), StartsWith("qvx_nlog_"));
    auto lines = r.logLines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(0, lines[0].find(" at ")),
              "Started executable " + windowsPath(s.executablePath()));
    // ctime's form: "Wed Jun 30 21:49:08 1993"
    EXPECT_THAT(
        lines[0],
        MatchesRegex(".* at [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}"));
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "Init");
    EXPECT_THAT(lines, Contains("Init done"));
}

TEST(NativeLog, EachRunWritesItsOwnLog) {
    Scenario s("native_log_per_run");
    s.config(107, "0");

    RunResult first = s.run({"-q"});
    RunResult second = s.run({"-q"});

    ASSERT_TRUE(first.nativeLogPath && second.nativeLogPath);
    EXPECT_NE(*first.nativeLogPath, *second.nativeLogPath);
    EXPECT_THAT(second.logLines(), Contains("Init done"));
}

// Without a usable TMP the log goes to C:\, under a unique name, and when not even a name fits into
// TMP (as in any directory whose path leaves fewer characters than the name needs), under the fixed
// name C:\qvx_nlog.
TEST(NativeLog, FallsBackToDriveCWithoutAUsableTmp) {
    Scenario s("native_log_fallbacks");
    s.config(107, "0");
    const std::string full = s.directory() + "/" + std::string(254 - windowsPath(s.directory()).size(), 'd');
    fs::create_directories(full);
    const struct {
        const char* what;
        std::optional<std::string> tmp;
        const char* log; // the name in C:\, or its prefix
    } rows[] = {
        {"unset", std::nullopt, "qvx_nlog_"},
        {"missing directory", windowsPath(s.directory() + "/missing"), "qvx_nlog_"},
        {"no room for a name", windowsPath(full), "qvx_nlog"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove(cDrive() + "/qvx_nlog");
        std::set<std::string> before;
        for (const auto& entry : fs::directory_iterator(cDrive()))
            before.insert(entry.path().filename().string());
        row.tmp ? s.env("TMP", *row.tmp) : s.unsetEnv("TMP");

        s.run({"-q"}).expectExitCode(83);

        std::vector<std::string> logs;
        for (const auto& entry : fs::directory_iterator(cDrive()))
            if (entry.path().filename().string().rfind(row.log, 0) == 0 &&
                !before.count(entry.path().filename()))
                logs.push_back(entry.path().string());
        ASSERT_EQ(logs.size(), 1u) << "no new log in " << cDrive();
        EXPECT_EQ(fs::path(logs[0]).filename() == "qvx_nlog", std::string(row.log) == "qvx_nlog");
        EXPECT_THAT(linesOf(readFile(logs[0])), Contains("Init done"));
        fs::remove(logs[0]);
    }
}

class DeletionQueue : public testing::Test {
  protected:
    RunResult queueTool(const std::vector<std::string>& arguments, CallSite at = CallSite::here()) {
        RunResult r = s.runProgram(scenarioProgram("queue-tool"), arguments);
        if (r.exitCode != 0)
            ADD_FAILURE_AT(at.file, at.line) << "queue-tool exited with " << r.exitCode;
        return r;
    }
    std::string queued(const char* valueName) {
        return registry::readString(kDeletionQueueKey, valueName).value_or("<missing>");
    }
    std::string makeFile(const std::string& name) {
        std::string path = s.tmpDirectory() + "/" + name;
        writeFile(path, "contents");
        return path;
    }

    Scenario s{"deletion_queue"};
};

TEST_F(DeletionQueue, EntriesAreWrittenAndDrained) {
    std::string file = makeFile("qvx_nlog_9_9");
    std::string directory = s.tmpDirectory() + "/kqx9.tmp_dir9";
    fs::create_directories(directory);
    writeFile(directory + "/inside.txt", "x");

    queueTool({"file", windowsPath(file)});
    queueTool({"dir", windowsPath(directory)});
    queueTool({"dir", windowsPath(directory)});
    // Another process would resolve a relative entry against its own current directory.
    queueTool({"dir", ".relative"});
    queueTool({"file", "relative.txt"});

    EXPECT_EQ(queued("delete_file"), windowsPath(file) + ";");
    EXPECT_EQ(queued("delete_dir"), windowsPath(directory) + ";" + windowsPath(directory) + ";");

    queueTool({"drain"});

    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(fs::exists(directory));
    EXPECT_EQ(queued("delete_file"), "");
    EXPECT_EQ(queued("delete_dir"), "");
}

TEST_F(DeletionQueue, HeldFileSurvivesDrainsUntilItsHolderEnds) {
    std::string held = makeFile("qvx_nlog_8_8");
    std::string go = s.tmpDirectory() + "/go";

    RunningProgram holder =
        s.start(scenarioProgram("queue-tool"), {"hold", windowsPath(held), windowsPath(go)});
    ASSERT_TRUE(holder.waitForOutput("held"));
    queueTool({"drain"});

    EXPECT_TRUE(fs::exists(held));
    EXPECT_EQ(queued("delete_file"), windowsPath(held) + ";");

    writeFile(go, "");
    holder.wait().expectExitCode(0);
    queueTool({"drain"});

    EXPECT_FALSE(fs::exists(held));
    EXPECT_EQ(queued("delete_file"), "");
}

// Any program of the user may write the queue. A drain removes only what a launcher queues (its
// native log and its extraction directory, right inside TMP), never through a link, and nothing at
// all when it runs elevated.
TEST_F(DeletionQueue, DrainRemovesOnlyWhatALauncherQueued) {
    const std::string tmp = s.tmpDirectory();
    const std::string precious = s.directory() + "/precious";
    for (const std::string& file :
         {precious + "/a.txt", precious + "/sub/b.txt", s.directory() + "/outside/keep.txt",
          s.directory() + "/outside/kqx1.tmp_dir1/keep.txt", tmp + "/sub/kqx2.tmp_dir2/keep.txt",
          tmp + "/queued_dir/keep.txt", tmp + "/kqx1A2B.tmp_dir4711/jre/bin/x.dll"}) {
        fs::create_directories(fs::path(file).parent_path());
        writeFile(file, "contents");
    }
    const std::string log = makeFile("qvx_nlog_1f_2a");
    const std::string extraction = tmp + "/kqx1A2B.tmp_dir4711";
    writeFile(s.directory() + "/outside/qvx_nlog_1_1", "contents");
    makeFile("notes.txt");
    // Wine shows a symbolic link of the host as a reparse point, as Windows shows a junction or a
    // symbolic link: named like a launcher's, at the top and inside its extraction directory.
    fs::create_directory_symlink(precious, tmp + "/kqx3.tmp_dir3");
    fs::create_symlink(precious + "/a.txt", tmp + "/qvx_nlog_3_3");
    fs::create_directory_symlink(precious, extraction + "/link");

    const std::string fileValue =
        windowsPath(log) + ";" + windowsPath(s.directory() + "/outside/qvx_nlog_1_1") + ";" +
        windowsPath(tmp + "/notes.txt") + ";" + windowsPath(tmp + "/qvx_nlog_3_3") + ";";
    const std::string directoryValue =
        windowsPath(extraction) + ";" + windowsPath(s.directory() + "/outside/kqx1.tmp_dir1") + ";" +
        windowsPath(tmp + "/sub/kqx2.tmp_dir2") + ";" + windowsPath(tmp + "/queued_dir") + ";" +
        windowsPath(tmp + "/kqx3.tmp_dir3") + ";" + windowsPath(tmp) + "\\..\\outside\\kqx1.tmp_dir1;";
    registry::writeString(kDeletionQueueKey, "delete_file", fileValue);
    registry::writeString(kDeletionQueueKey, "delete_dir", directoryValue);
    const auto expectUntouched = [&](CallSite at = CallSite::here()) {
        for (const std::string& file :
             {precious + "/a.txt", precious + "/sub/b.txt", s.directory() + "/outside/keep.txt",
              s.directory() + "/outside/qvx_nlog_1_1", s.directory() + "/outside/kqx1.tmp_dir1/keep.txt",
              tmp + "/sub/kqx2.tmp_dir2/keep.txt", tmp + "/queued_dir/keep.txt", tmp + "/notes.txt"})
            if (!fs::exists(file))
                ADD_FAILURE_AT(at.file, at.line) << file << " was deleted";
        if (!fs::is_symlink(tmp + "/kqx3.tmp_dir3") || !fs::is_symlink(tmp + "/qvx_nlog_3_3"))
            ADD_FAILURE_AT(at.file, at.line) << "a link in TMP was removed";
    };

    // Wine gives every process a full administrator token: queue-tool's own is elevated.
    RunResult elevated = queueTool({"drain-elevated"});
    EXPECT_THAT(elevated.logLines(), Contains("deletion queue left alone: this process runs elevated"));
    expectUntouched();
    EXPECT_TRUE(fs::exists(log));
    EXPECT_TRUE(fs::exists(extraction + "/jre/bin/x.dll"));
    EXPECT_EQ(queued("delete_file"), fileValue);
    EXPECT_EQ(queued("delete_dir"), directoryValue);

    // As a user's launcher, with the limited token: the launcher's own go, and what is not its own
    // leaves the queue. Windows would remove the link inside the extraction directory, and the
    // directory with it; Wine removes a link to a directory neither with RemoveDirectory nor with
    // DeleteFile, so there the link stays, and with it the directory and its entry.
    queueTool({"drain"});
    expectUntouched();
    EXPECT_FALSE(fs::exists(log));
    EXPECT_FALSE(fs::exists(extraction + "/jre"));
    EXPECT_TRUE(fs::is_symlink(extraction + "/link"));
    EXPECT_EQ(queued("delete_file"), "");
    EXPECT_EQ(queued("delete_dir"), windowsPath(extraction) + ";");
}

} // namespace
} // namespace kestro::scenario
