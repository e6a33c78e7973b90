#include "tar/tar_rules.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace kestro::tar {
namespace {

TEST(TarSizeField, PlainOctalOnly) {
    struct Row {
        const char* field;
        int32_t value; // -1: refused
    } rows[] = {
        {"0001750 \0\0\0\0", 1000},
        {"    1750 \0\0\0", 1000},
        {"00000001750\0", 1000},
        {"00000001750 ", 1000},
        {"\0\0\0\0\0\0\0\0\0\0\0\0", 0},
        {"          0 ", 0},
        {"17777777777\0", INT32_MAX},
        {"20000000000\0", -1},
        {"777777777777", -1},
        {"0 17\0\0\0\0\0\0\0\0", -1}, // read as 0 by some readers and as 15 by others
        {"12 34\0\0\0\0\0\0\0", -1},
        {"1750\0"
         "7777777",
         -1},
        {"00000001758\0", -1},
        {"-0000001750\0", -1},
        {"\x80\0\0\0\0\0\0\0\0\0\0\x01", -1}, // base 256
    };
    for (const Row& row : rows) {
        int32_t size = -1;
        const char* why = parseSizeField(row.field, &size);
        EXPECT_EQ(why == nullptr ? size : -1, row.value) << std::string(row.field, 12);
    }
}

// One archive's names in order; the row's last name is the one judged, the earlier ones must pass.
TEST(TarEntryNames, WhatWindowsCanHoldAndTellApart) {
    struct Row {
        std::vector<std::pair<std::string, bool>> entries; // name, directory
        const char* path;                                  // nullptr: refused
    } rows[] = {
        {{{"bin/java.exe", false}}, "bin\\java.exe"},
        {{{"./", true}, {"./bin//java.exe", false}}, "bin\\java.exe"},
        {{{"./", true}}, ""},
        {{{"lib\\ext/a.jar", false}}, "lib\\ext\\a.jar"},
        {{{"x..y", false}}, "x..y"},
        {{{"x..", false}}, nullptr},
        {{{"..x/y", false}}, "..x\\y"},
        {{{"console.txt", false}}, "console.txt"},
        {{{"com0", false}}, "com0"},
        {{{"bin/", true}, {"bin/", true}}, "bin"},
        {{{"a", false}, {"a", false}}, "a"},
        {{{"/x", false}}, nullptr},
        {{{"\\\\server\\share\\x", false}}, nullptr},
        {{{"C:\\x", false}}, nullptr},
        {{{"c:x", false}}, nullptr},
        {{{"a\\b:stream", false}}, nullptr},
        {{{"../x", false}}, nullptr},
        {{{"a/../../x", false}}, nullptr},
        {{{".. /x", false}}, nullptr},
        {{{"...", true}}, nullptr},
        {{{"", false}}, nullptr},
        {{{"", true}}, ""},
        {{{".", false}}, nullptr},
        {{{"a/", false}}, nullptr},
        {{{"a/b.", false}}, nullptr},
        {{{"a /b", false}}, nullptr},
        {{{"a?", false}}, nullptr},
        {{{"a*", false}}, nullptr},
        {{{"a\tb", false}}, nullptr},
        {{{"caf\xc3\xa9", false}}, nullptr},
        {{{"CON", false}}, nullptr},
        {{{"lib/nul.dll", false}}, nullptr},
        {{{"lpt9 .txt", false}}, nullptr},
        {{{"aux/x", false}}, nullptr},
        {{{"a", false}, {"a/", true}}, nullptr},
        {{{"a", false}, {"a/b", false}}, nullptr},
        {{{"a/b", false}, {"a", false}}, nullptr},
        {{{"bin/java.exe", false}, {"BIN/x", false}}, nullptr},
        {{{"bin/java.exe", false}, {"bin/Java.exe", false}}, nullptr},
    };
    for (const Row& row : rows) {
        EntryNames names;
        std::string path;
        const char* why = nullptr;
        for (size_t i = 0; i < row.entries.size(); ++i) {
            const std::string& name = row.entries[i].first;
            why = names.admit(name.c_str(), name.size() + 1, row.entries[i].second, &path);
            if (i + 1 < row.entries.size()) {
                ASSERT_EQ(why, nullptr) << name << ": " << why;
            }
        }
        const std::string judged = row.entries.back().first;
        if (row.path == nullptr) {
            EXPECT_NE(why, nullptr) << judged << " gives " << path;
        } else {
            EXPECT_EQ(why, nullptr) << judged << ": " << why;
            EXPECT_EQ(path, row.path) << judged;
        }
    }
    // A field without a terminator is a name cut short.
    EntryNames names;
    std::string path;
    EXPECT_NE(names.admit(std::string(100, 'n').c_str(), 100, false, &path), nullptr);
}

} // namespace
} // namespace kestro::tar
