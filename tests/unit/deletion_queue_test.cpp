#include "support/deletion_queue.h"

#include "jreprovision/runtime_cache.h"
#include "limited_token.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/user_cache.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* kQueueKey = "SOFTWARE\\Morvane\\kestro\\temp";
constexpr const char* kHeldFileVariable = "KESTRO_TEST_HELD_FILE";

std::string appended(std::string value, const char* path, size_t limit, bool* accepted) {
    value.resize(64, '\0');
    *accepted = appendQueueEntry(&value[0], 64, path, limit);
    return value.c_str();
}

TEST(AppendQueueEntry, AddsPathAndSemicolonWithinTheLimit) {
    struct Case {
        const char* value;
        const char* path;
        size_t limit;
        bool accepted;
        const char* expected;
    };
    const std::string fillsTheBuffer(62, 'p');
    const std::string overflowsTheBuffer(63, 'p');
    const Case cases[] = {
        {"", "c:\\a", 100, true, "c:\\a;"},
        {"c:\\a;", "c:\\b", 100, true, "c:\\a;c:\\b;"},
        {"c:\\a;", "c:\\a", 100, true, "c:\\a;c:\\a;"},
        // value, path, ";" and the terminator: 4 + 2 + 1 + 1 bytes.
        {"abc;", "de", 8, true, "abc;de;"},
        {"abc;", "def", 8, false, "abc;"},
        // The buffer bounds it as well as the limit.
        {"", fillsTheBuffer.c_str(), 1000, true, nullptr},
        {"", overflowsTheBuffer.c_str(), 1000, false, ""},
        {"abc;", "c:\\x;y", 100, false, "abc;"},
    };
    for (const Case& c : cases) {
        bool accepted = false;
        std::string result = appended(c.value, c.path, c.limit, &accepted);
        EXPECT_EQ(accepted, c.accepted) << c.value << " + " << c.path;
        if (c.expected != nullptr) {
            EXPECT_EQ(result, c.expected) << c.value << " + " << c.path;
        }
    }
}

std::vector<std::string> entriesOf(const char* list) {
    std::vector<std::string> entries;
    forEachQueueEntry(
        list,
        [](const char* entry, void* context) {
            static_cast<std::vector<std::string>*>(context)->push_back(entry);
        },
        &entries);
    return entries;
}

TEST(ForEachQueueEntry, SkipsEmptyEntries) {
    using Entries = std::vector<std::string>;
    EXPECT_EQ(entriesOf("c:\\a;c:\\b c;"), (Entries{"c:\\a", "c:\\b c"}));
    EXPECT_EQ(entriesOf(";;c:\\a;;;b"), (Entries{"c:\\a", "b"}));
    EXPECT_EQ(entriesOf(""), Entries{});
    EXPECT_EQ(entriesOf(";;;"), Entries{});
}

std::string systemTempPath() {
    char path[MAX_PATH];
    GetTempPathA(MAX_PATH, path);
    return path;
}

void writeFile(const std::string& path) {
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    CloseHandle(file);
}

std::string environmentValue(const char* name) {
    char value[MAX_PATH] = "";
    return GetEnvironmentVariableA(name, value, sizeof value) < sizeof value ? value : "";
}

// Works on the real queue key of the prefix's current user, empty at the start and the end, with a
// directory of its own as the user's temporary directory (TMP), and acts as a user's launcher does,
// without elevation.
class Queue : public ::testing::Test {
  protected:
    void SetUp() override {
        // The log opens in the real TMP now, rather than in root_ with the first line of a drain.
        logLine("deletion queue test");
        RegDeleteKeyA(HKEY_CURRENT_USER, kQueueKey);
        root_ = systemTempPath() + "kestro_queue_" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(root_.c_str(), nullptr);
        for (const char* name : {"TMP", "TEMP"}) {
            saved_.push_back(environmentValue(name));
            SetEnvironmentVariableA(name, root_.c_str());
        }
        user_ = std::make_unique<kestro::test::ActingWithoutElevation>();
    }
    void TearDown() override {
        user_.reset();
        SetEnvironmentVariableA("TMP", saved_[0].c_str());
        SetEnvironmentVariableA("TEMP", saved_[1].c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, kQueueKey);
        emptyDirectory(root_.c_str());
        RemoveDirectoryA(root_.c_str());
    }
    std::string at(const std::string& relative) const { return root_ + "\\" + relative; }

    static std::string value(const char* name) {
        char text[40000] = "";
        DWORD size = sizeof text;
        if (RegGetValueA(HKEY_CURRENT_USER, kQueueKey, name, RRF_RT_REG_SZ, nullptr, text, &size) !=
            ERROR_SUCCESS) {
            return "<missing>";
        }
        return text;
    }
    static void setValue(const char* name, const std::string& text) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kQueueKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
        RegCloseKey(key);
    }

    std::string root_;
    std::vector<std::string> saved_;
    std::unique_ptr<kestro::test::ActingWithoutElevation> user_;
};

TEST_F(Queue, EntriesAccumulateUnderTheirValue) {
    queueForDeletion("c:\\one", "delete_file");
    queueDirectory("c:\\two");
    queueDirectory("c:\\two");
    // A drain in another process would resolve these against its own current directory.
    queueDirectory("_dir123");
    queueDirectory("\\rooted\\on\\the\\current\\drive");
    queueForDeletion("relative\\file", "delete_file");
    EXPECT_EQ(value("delete_file"), "c:\\one;");
    EXPECT_EQ(value("delete_dir"), "c:\\two;c:\\two;");
}

TEST_F(Queue, AddingStopsAt32767Bytes) {
    const std::string existing(32760, 'e');
    setValue("delete_file", existing);
    queueForDeletion("c:\\456", "delete_file");
    EXPECT_EQ(value("delete_file"), existing);
    queueForDeletion("c:\\45", "delete_file");
    EXPECT_EQ(value("delete_file"), existing + "c:\\45;");

    // Already beyond the limit (not written by the queue): refused rather than read as empty.
    const std::string oversized(33000, 'o');
    setValue("delete_dir", oversized);
    queueDirectory("c:\\x");
    EXPECT_EQ(value("delete_dir"), oversized);
}

TEST_F(Queue, PendingDirectoriesAreQueuedOnEveryHandOver) {
    registerPendingDirectory(".\\relative");
    registerPendingDirectory("c:\\pending");
    queuePendingDeletions();
    queuePendingDeletions();
    EXPECT_EQ(value("delete_dir"), "c:\\pending;c:\\pending;");
}

TEST_F(Queue, DrainRemovesADirectoryQueuedTwiceAndKeepsNeither) {
    const std::string directory = at("kqx5.tmp_dir5");
    ASSERT_TRUE(CreateDirectoryA(directory.c_str(), nullptr));
    writeFile(directory + "\\app.jar");
    ASSERT_TRUE(CreateDirectoryA((directory + "\\empty").c_str(), nullptr));
    queueDirectory(directory.c_str());
    queueDirectory(directory.c_str());

    drainDeletionQueue();

    EXPECT_FALSE(pathExists(directory.c_str()));
    EXPECT_EQ(value("delete_dir"), "");
    EXPECT_EQ(value("delete_file"), "");
}

// Only what a launcher queues: its log or extraction directory, right inside the temporary
// directory, written in full as the system writes it.
TEST_F(Queue, LauncherEntriesAreNamedAsTheLauncherNamesThem) {
    struct Case {
        std::string entry;
        bool directory;
        bool launcher;
    };
    std::string upper = root_;
    CharUpperBuffA(&upper[0], static_cast<DWORD>(upper.size()));
    const Case cases[] = {
        {at("kqx1A2B.tmp_dir4711"), true, true},
        {upper + "\\KQX1a2b.TMP_DIR4711", true, true},
        {at("qvx_nlog_1f_2a"), false, true},
        {at("QVX_NLOG_6F2C3A_ABCDEF01"), false, true},
        // The other kind, or a name a launcher never makes.
        {at("kqx1A2B.tmp_dir4711"), false, false},
        {at("qvx_nlog_1f_2a"), true, false},
        {at("kqx.tmp_dir1"), true, false},
        {at("kqx1.tmp_dir"), true, false},
        {at("kqx1.tmp_dir12x"), true, false},
        {at("kqx1g.tmp_dir1"), true, false},
        {at("kqx123456789.tmp_dir1"), true, false},
        {at("qvx_nlog_1f"), false, false},
        {at("qvx_nlog_1f_2a.txt"), false, false},
        {at("notes.txt"), false, false},
        {at("queued_dir"), true, false},
        // Not right inside the temporary directory, or not written as the system writes it.
        {at("sub\\kqx1.tmp_dir1"), true, false},
        {root_ + "\\..\\kqx1.tmp_dir1", true, false},
        {root_ + "\\.\\kqx1.tmp_dir1", true, false},
        {root_ + "/kqx1.tmp_dir1", true, false},
        {root_ + "\\\\kqx1.tmp_dir1", true, false},
        {at("kqx1.tmp_dir1."), true, false},
        {at("qvx_nlog_1f_2a "), false, false},
        {"c:\\windows\\kqx1.tmp_dir1", true, false},
        {"kqx1.tmp_dir1", true, false},
        {"c:kqx1.tmp_dir1", true, false},
    };
    const std::vector<std::string> temporary = {root_ + "\\"};
    for (const Case& c : cases)
        EXPECT_EQ(isLauncherEntry(c.entry.c_str(), c.directory, temporary), c.launcher)
            << c.entry << (c.directory ? " (directory)" : " (file)");
}

TEST_F(Queue, DrainDropsRelativeEntriesWithoutTouchingTheDisk) {
    ASSERT_TRUE(CreateDirectoryA(at("dotted").c_str(), nullptr));
    writeFile(at("dotted\\file"));
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryA(root_.c_str()));
    setValue("delete_dir", ".\\dotted;.;dotted;_dir1;");
    setValue("delete_file", "dotted\\file;");

    drainDeletionQueue();

    SetCurrentDirectoryA(saved);
    EXPECT_TRUE(pathExists(at("dotted\\file").c_str()));
    EXPECT_EQ(value("delete_dir"), "");
    EXPECT_EQ(value("delete_file"), "");
    DeleteFileA(at("dotted\\file").c_str());
    RemoveDirectoryA(at("dotted").c_str());
}

// What a launcher leaves in TMP: its extraction directory with an unpacked runtime, whose files it
// never holds open, and the mark that says whether it still runs.
class ExtractionDirectory : public Queue {
  protected:
    void SetUp() override {
        Queue::SetUp();
        directory_ = at("kqx1A2B.tmp_dir4711");
        for (const char* step :
             {"", "\\jre", "\\jre\\bin", "\\jre\\bin\\client", "\\jre\\lib", "\\jre\\lib\\empty"})
            ASSERT_TRUE(CreateDirectoryA((directory_ + step).c_str(), nullptr)) << step;
        for (const char* file : {"\\app.jar", "\\jre\\bin\\client\\jvm.dll", "\\jre\\lib\\rt.jar"})
            writeFile(directory_ + file);
        SetFileAttributesA((directory_ + "\\jre\\lib\\rt.jar").c_str(), FILE_ATTRIBUTE_READONLY);
    }
    void TearDown() override {
        releaseDirectory(directory_.c_str());
        drainDeletionQueue();
        Queue::TearDown();
    }
    std::string directory_;
};

// A language restart runs from its parent's directory and holds the parent's mark as well: the
// directory stays while either runs.
TEST_F(ExtractionDirectory, IsLeftWholeWhileALauncherRunsFromItAndRemovedWholeAfterwards) {
    EXPECT_TRUE(isExtractionDirectoryName(directory_.c_str()));
    EXPECT_FALSE(isExtractionDirectoryName("C:\\Users\\me\\Desktop"));
    ASSERT_TRUE(markDirectoryInUse(directory_.c_str()));
    ASSERT_TRUE(markDirectoryInUse(directory_.c_str())) << "the restart joins the mark";
    queueDirectory(directory_.c_str());
    EXPECT_EQ(value("delete_dir"), directory_ + ";");

    for (int running = 2; running > 0; --running) {
        drainDeletionQueue();
        for (const char* file :
             {"\\app.jar", "\\jre\\bin\\client\\jvm.dll", "\\jre\\lib\\rt.jar", "\\jre\\lib\\empty"})
            EXPECT_TRUE(pathExists((directory_ + file).c_str()))
                << file << ", launchers running: " << running;
        EXPECT_EQ(value("delete_dir"), directory_ + ";");
        releaseDirectory(directory_.c_str());
    }
    drainDeletionQueue();
    EXPECT_FALSE(pathExists(directory_.c_str()));
    EXPECT_EQ(value("delete_dir"), "");
}

TEST(EntriesAddedSince, KeepsWhatOthersQueuedAfterTheRead) {
    struct Case {
        const char* taken;
        const char* current;
        const char* added;
    } cases[] = {
        {"a;b;", "a;b;", ""},
        {"a;b;", "a;b;c;", "c;"},
        // Queued again meanwhile: one occurrence was read, the other is new.
        {"a;", "a;a;", "a;"},
        // Another drain rewrote the value: what it kept and what came after stay.
        {"a;b;", "b;c;", "c;"},
        {"", "c;", "c;"},
        {"a;", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(entriesAddedSince(c.taken, c.current), c.added) << c.taken << " / " << c.current;
}

TEST_F(Queue, DrainReadsValuesLongerThanItsUsualBuffer) {
    std::string entries;
    std::vector<std::string> files;
    while (entries.size() < 9000) {
        files.push_back(at("qvx_nlog_" + std::to_string(files.size()) + "_abcdef01"));
        writeFile(files.back());
        entries += files.back() + ";";
    }
    setValue("delete_file", entries);

    drainDeletionQueue();

    for (const std::string& file : files) {
        EXPECT_FALSE(pathExists(file.c_str())) << file;
    }
    EXPECT_EQ(value("delete_file"), "");
}

TEST_F(Queue, DrainKeepsAFileSomeoneHoldsOpen) {
    const std::string path = at("qvx_nlog_4e1d_1");
    writeFile(path);
    // The same sharing as holdAndQueueFile, whose own handle cannot be released.
    HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    queueForDeletion(path.c_str(), "delete_file");

    drainDeletionQueue();
    EXPECT_TRUE(pathExists(path.c_str()));
    EXPECT_EQ(value("delete_file"), path + ";");

    CloseHandle(held);
    drainDeletionQueue();
    EXPECT_FALSE(pathExists(path.c_str()));
    EXPECT_EQ(value("delete_file"), "");
}

// Run only as the child of HoldAndQueueFile below: holds the named file until its parent ends it.
TEST(DISABLED_HeldFileChild, HoldsAndQueues) {
    const char* path = getenv(kHeldFileVariable);
    ASSERT_NE(path, nullptr);
    holdAndQueueFile(path);
    puts("held");
    fflush(stdout);
    Sleep(INFINITE);
}

TEST_F(Queue, HoldAndQueueFileProtectsTheFileForTheHoldersLifetime) {
    const std::string path = at("qvx_nlog_4e1d_2");
    writeFile(path);
    ASSERT_TRUE(SetEnvironmentVariableA(kHeldFileVariable, path.c_str()));

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION child = {};
    std::string commandLine = std::string("\"") + executablePath() +
                              "\" --gtest_also_run_disabled_tests --gtest_filter=DISABLED_HeldFileChild.*";
    ASSERT_TRUE(CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &startup, &child));
    CloseHandle(writeEnd);

    std::string output;
    char chunk[256];
    DWORD got = 0;
    while (output.find("held\n") == std::string::npos && output.find("held\r\n") == std::string::npos &&
           ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        output.append(chunk, got);
    }
    ASSERT_NE(output.find("held"), std::string::npos) << output;

    drainDeletionQueue();
    EXPECT_TRUE(pathExists(path.c_str()));
    EXPECT_EQ(value("delete_file"), path + ";");

    TerminateProcess(child.hProcess, 0);
    WaitForSingleObject(child.hProcess, 10000);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    CloseHandle(readEnd);

    drainDeletionQueue();
    EXPECT_FALSE(pathExists(path.c_str()));
    EXPECT_EQ(value("delete_file"), "");
}

} // namespace

namespace {

// The names the cache's clean-up goes by: what it does not name so, it leaves alone.
TEST(UserCache, NamesAndAges) {
    const std::string digest = "2625881FB669B28E06D9" + std::string(44, 'a');
    EXPECT_EQ(runtimeEntryName(digest.c_str()), "2625881fb669b28e06d9");
    EXPECT_EQ(runtimeEntryName(digest.substr(1).c_str()), "");
    EXPECT_EQ(runtimeEntryName(("g" + digest.substr(1)).c_str()), "");
    const struct {
        const char* name;
        RuntimeRoomName kind;
    } rooms[] = {
        {"2625881fb669b28e06d9", RuntimeRoomName::Entry},
        {"2625881fb669b28e06d9.new4242", RuntimeRoomName::BeingMade},
        {"2625881fb669b28e06d9.old17", RuntimeRoomName::BeingRemoved},
        {"2625881fb669b28e06d9.new", RuntimeRoomName::Foreign},
        {"2625881fb669b28e06d9.new42x", RuntimeRoomName::Foreign},
        {"2625881fb669b28e06d", RuntimeRoomName::Foreign},
        {"2625881fb669b28e06d9a", RuntimeRoomName::Foreign},
        {"my-runtime", RuntimeRoomName::Foreign},
    };
    for (const auto& row : rooms)
        EXPECT_EQ(classifyRuntimeRoomName(row.name), row.kind) << row.name;
    const std::string key(32, 'c');
    EXPECT_TRUE(isClassDataArchiveName((key + ".jsa").c_str()));
    EXPECT_TRUE(isClassDataArchiveName((key + ".aot").c_str()));
    EXPECT_TRUE(isClassDataArchiveName((key + ".aot.config").c_str()));
    EXPECT_FALSE(isClassDataArchiveName((key + ".txt").c_str()));
    EXPECT_FALSE(isClassDataArchiveName((key.substr(1) + ".jsa").c_str()));
    EXPECT_FALSE(isClassDataArchiveName("notes.jsa"));
    const uint64_t day = 864000000000ULL, now = 1000 * day;
    EXPECT_TRUE(unusedFor(now - 31 * day, now, 30));
    EXPECT_FALSE(unusedFor(now - 29 * day, now, 30));
    EXPECT_FALSE(unusedFor(now + day, now, 30)) << "a time in the future is no age";
}

bool collect(const ManifestFile& file, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(std::to_string(file.size) + " " + file.path);
    return true;
}

// The manifest is read back as written, and only for its own archive; a cut or garbled one is no
// manifest at all.
TEST(RuntimeCacheManifest, RoundTripAndDamage) {
    const std::string digest(64, 'e');
    const ManifestFile files[] = {{"bin\\java.exe", 1234}, {"lib\\a b.jar", 0}, {"release", 5000000000LL}};
    const std::string text = manifestText(digest.c_str(), files, 3);
    std::vector<std::string> read;
    EXPECT_TRUE(readManifest(text, digest.c_str(), collect, &read));
    EXPECT_EQ(read, (std::vector<std::string>{"1234 bin\\java.exe", "0 lib\\a b.jar", "5000000000 release"}));
    const std::string upper(64, 'E');
    read.clear();
    EXPECT_TRUE(readManifest(text, upper.c_str(), collect, &read));
    for (const std::string& damaged : {text.substr(0, text.size() - 1), text.substr(0, 20), std::string(),
                                       text + "x y\n", text + "-1 a\n", text + "12\n", text + "12 \n"}) {
        read.clear();
        EXPECT_FALSE(readManifest(damaged, digest.c_str(), collect, &read)) << damaged;
    }
    EXPECT_FALSE(readManifest(text, std::string(64, 'f').c_str(), collect, &read)) << "another archive's";
}

} // namespace
