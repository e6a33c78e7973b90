#include "support/deletion_queue.h"

#include "support/paths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
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

// Works on the real queue key of the prefix's current user, empty at the start and the end.
class Queue : public ::testing::Test {
  protected:
    void SetUp() override {
        RegDeleteKeyA(HKEY_CURRENT_USER, kQueueKey);
        root_ = systemTempPath() + "kestro_queue_" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(root_.c_str(), nullptr);
    }
    void TearDown() override {
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
    const std::string directory = at("extracted");
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

TEST_F(Queue, DrainKeepsADirectoryWithANonEmptySubdirectory) {
    const std::string directory = at("nested");
    ASSERT_TRUE(CreateDirectoryA(directory.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((directory + "\\inner").c_str(), nullptr));
    writeFile(directory + "\\inner\\file");
    queueDirectory(directory.c_str());

    drainDeletionQueue();

    EXPECT_TRUE(pathExists((directory + "\\inner\\file").c_str()));
    EXPECT_EQ(value("delete_dir"), directory + ";");
    DeleteFileA((directory + "\\inner\\file").c_str());
    RemoveDirectoryA((directory + "\\inner").c_str());
    RemoveDirectoryA(directory.c_str());
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
        files.push_back(at("f" + std::to_string(files.size()) + std::string(100, 'x')));
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
    const std::string path = at("held.log");
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
    const std::string path = at("native.log");
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
