#include "payload/payload_format.h"
#include "pe_image.h"
#include "project/project_file.h"
#include "project/project_keys.h"

#include <cstring>
#include <gtest/gtest.h>
#include <map>

namespace kestro::packer {
namespace {

using kestro::testing::makeTestDirectory;
using kestro::testing::writeFile;

class ProjectFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = makeTestDirectory();
        writeFile(directory_ + "/app.jar", "jar");
    }

    bool parse(const std::string& text, PackRequest* request, std::string* error) {
        return parseProjectText(text, "app.toml", directory_, request, error);
    }

    std::map<int32_t, std::string> configOf(const std::string& text) {
        PackRequest request;
        std::string error;
        EXPECT_TRUE(parse(text, &request, &error)) << error;
        return std::map<int32_t, std::string>(request.tables.config.begin(), request.tables.config.end());
    }

    std::string directory_;
};

const char* const kMinimal =
    "[application]\nmain_class = \"com.example.Main\"\n[[files]]\nsource = \"app.jar\"\n";

TEST_F(ProjectFileTest, MainClassAndOneJarGiveAWorkingConfiguration) {
    PackRequest request;
    std::string error;
    ASSERT_TRUE(parse(kMinimal, &request, &error)) << error;
    std::map<int32_t, std::string> config(request.tables.config.begin(), request.tables.config.end());
    std::map<int32_t, std::u16string> messages(request.tables.messages.begin(),
                                               request.tables.messages.end());

    EXPECT_EQ(config[payload::config::MainClass], "com.example.Main");
    EXPECT_EQ(config[payload::config::ApplicationKind], "k");
    EXPECT_EQ(config[payload::config::ExecutableType], "1");
    EXPECT_EQ(config[payload::config::SearchSequence], "Y;EJAVA_HOME;EJDK_HOME");
    EXPECT_EQ(config[payload::config::MinimumVersion], "1.8") << "the runtime jar needs Java 8";
    EXPECT_EQ(config.count(payload::config::SingleInstanceHandOver), 0u) << "hand-over only when asked";
    EXPECT_EQ(config.count(payload::config::ClassPath), 0u) << "the launcher adds extracted jars itself";
    for (int32_t id = payload::config::ErrorCaption; id <= payload::config::MessageMainMethodNotFound; ++id)
        EXPECT_FALSE(config[id].empty()) << "8-bit message " << id;
    for (int32_t id : {1003, 1004, 1006, 1008, 1009})
        EXPECT_NE(config[id].find("{0}"), std::string::npos) << id;
    for (int32_t id = payload::message::DownloadStatus; id <= payload::message::DiskFull; ++id) {
        if (id != 20017) {
            EXPECT_FALSE(messages[id].empty()) << "16-bit message " << id;
        }
    }
    EXPECT_EQ(messages[payload::message::DownloadProgressFormat],
              u"%.2f MB of %.2f MB (%.1f%%) at %.1f kb/s");

    ASSERT_EQ(request.files.size(), 1u);
    EXPECT_EQ(request.files[0].name, "app.jar");
    EXPECT_EQ(request.files[0].sourcePath, directory_ + "/app.jar");
}

struct ValueCase {
    const char* section;
    const char* assignment;
    int32_t id;
    const char* payloadText;
};

TEST_F(ProjectFileTest, ValuesAreWrittenAsTheTextsTheLauncherReads) {
    const ValueCase cases[] = {
        {"application", "kind = \"installer\"", payload::config::ApplicationKind, "s"},
        {"application", "executable_type = 5", payload::config::ExecutableType, "5"},
        {"application", "error_log_enabled = true", payload::config::ErrorLogEnabled, "1"},
        {"java", "require_jdk = false", payload::config::RequireJdk, "0"},
        {"application", "path_prefix = [\"bin\", 'C:\\tools']", payload::config::PathPrefix, "bin;C:\\tools"},
        {"java", "search_sequence = [\"EMY_JAVA\", \"Y\"]", payload::config::SearchSequence, "EMY_JAVA;Y"},
        {"vm", "class_path = ['A1lib\\a.jar', \"S0ext\"]", payload::config::ClassPath, "A1lib\\a.jar;S0ext"},
        {"splash.status", "colour = [255, 128, 0]", payload::config::SplashStatusColour, "255,128,0"},
        {"splash.version", "x = 4", payload::config::SplashVersionX, "4"},
        {"application", "name = \"Caf\xC3\xA9 \xE2\x82\xAC\"", payload::config::ApplicationName,
         "Caf\xE9 \x80"},
        {"messages", "no_jvm = \"Install Java {0}\"", payload::config::MessageNoJvm, "Install Java {0}"},
        {"single_instance", "enabled = true", payload::config::SingleInstanceCommFile, "1"},
        {"java", "download_sha256 = \"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD\"",
         payload::config::DownloadSha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"single_instance", "hand_over = true", payload::config::SingleInstanceHandOver, "1"},
        // Lowered knowingly, or no bound at all.
        {"java", "min_version = \"1.6\"", payload::config::MinimumVersion, "1.6"},
        {"java", "min_version = \"\"", payload::config::MinimumVersion, ""},
    };
    for (const ValueCase& row : cases) {
        std::string project = "[application]\nmain_class = \"M\"\n";
        if (std::string(row.section) != "application")
            project += std::string("[") + row.section + "]\n";
        project += std::string(row.assignment) + "\n";
        EXPECT_EQ(configOf(project)[row.id], row.payloadText) << row.assignment;
    }
}

// A picture sizes the splash; a size the project gives wins, side by side.
TEST_F(ProjectFileTest, SplashIsAsLargeAsItsPictureUnlessSized) {
    std::string bmp = "BM" + std::string(12, '\0');
    bmp[10] = 54; // the pixels follow the two headers
    std::string info(40, '\0');
    info[0] = 40, info[4] = 3, info[8] = 2, info[12] = 1, info[14] = 24;
    writeFile(directory_ + "/splash.bmp", bmp + info + std::string(2 * 12, '\x7f'));
    const std::string project = std::string(kMinimal) + "[splash]\npicture = \"splash.bmp\"\n";

    std::map<int32_t, std::string> config = configOf(project);
    EXPECT_EQ(config[payload::config::SplashWidth], "3");
    EXPECT_EQ(config[payload::config::SplashHeight], "2");
    config = configOf(project + "width = 500\n");
    EXPECT_EQ(config[payload::config::SplashWidth], "500");
    EXPECT_EQ(config[payload::config::SplashHeight], "2");
    EXPECT_EQ(configOf(kMinimal).count(payload::config::SplashWidth), 0u) << "no picture, no splash";
}

TEST_F(ProjectFileTest, SixteenBitMessagesKeepNonAsciiText) {
    PackRequest request;
    std::string error;
    ASSERT_TRUE(parse(std::string(kMinimal) +
                          "[messages]\ncancel_button = \"\xD0\x9E\xD1\x82\xD0\xBC\xD0\xB5\xD0\xBD"
                          "\xD0\xB0 \xF0\x9F\x98\x80\"\n",
                      &request, &error))
        << error;
    std::map<int32_t, std::u16string> messages(request.tables.messages.begin(),
                                               request.tables.messages.end());
    EXPECT_EQ(messages[payload::message::CancelButton], u"\u041E\u0442\u043C\u0435\u043D\u0430 \U0001F600");
}

// Left out, the captions are the application's name and the questions say in words which Java
// versions the program runs on; what the project writes itself stays as written, "-" and all.
TEST_F(ProjectFileTest, CaptionsAndQuestionsDefaultToTheProjectsOwnNameAndVersions) {
    const std::string head = "[application]\nmain_class = \"M\"\n";
    struct Row {
        std::string toml;
        std::string errorCaption; // 8-bit, code page 1252
        std::u16string dialogCaption;
        std::string versions; // in the question with download
    } rows[] = {
        {head, "Error", u"Application start", "Java 8 or newer"},
        {head + "name = \"Caf\u00e9 \u00dcber\"\n",
         "Caf\xe9 \xdc"
         "ber",
         u"Caf\u00e9 \u00dcber", "Java 8 or newer"},
        {head + "name = \"\"\n[java]\nmin_version = \"11\"\nmax_version = \"17\"\n", "Error",
         u"Application start", "Java 11 to 17"},
        {head + "name = \"Hello\"\n[java]\nmin_version = \"\"\nmax_version = \"1.8\"\n[messages]\n"
                "error_caption = \"Oops\"\n",
         "Oops", u"Hello", "Java 8 or older"},
        {head + "[java]\nmin_version = \"\"\n[messages]\ndialog_caption = \"Start\"\n", "Error", u"Start",
         "any Java"},
        {head + "[java]\nmin_version = \"1.8.0_45\"\n", "Error", u"Application start",
         "Java 1.8.0_45 or newer"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.toml);
        PackRequest request;
        std::string error;
        ASSERT_TRUE(parse(row.toml, &request, &error)) << error;
        std::map<int32_t, std::string> config(request.tables.config.begin(), request.tables.config.end());
        std::map<int32_t, std::u16string> messages(request.tables.messages.begin(),
                                                   request.tables.messages.end());
        EXPECT_EQ(config[payload::config::ErrorCaption], row.errorCaption);
        EXPECT_EQ(messages[payload::message::DialogCaption], row.dialogCaption);
        const std::u16string versions(row.versions.begin(), row.versions.end());
        EXPECT_EQ(messages[payload::message::QuestionWithDownload],
                  u"No suitable Java runtime was found on this computer. The program runs on " + versions +
                      u".\nDo you want to download one, or locate an installed java.exe yourself?");
        EXPECT_NE(messages[payload::message::QuestionWithoutDownload].find(u"runs on " + versions + u".\n"),
                  std::u16string::npos);
    }
    PackRequest request;
    std::string error;
    ASSERT_TRUE(parse(head + "[messages]\nquestion_without_download = \"Java %S - %S?\"\n", &request, &error))
        << error;
    std::map<int32_t, std::u16string> messages(request.tables.messages.begin(),
                                               request.tables.messages.end());
    EXPECT_EQ(messages[payload::message::QuestionWithoutDownload], u"Java %S - %S?");
}

struct ErrorCase {
    const char* toml;
    const char* expected; // a part of the message, location included
};

TEST_F(ProjectFileTest, BadInputIsReportedWithFileAndLine) {
    const std::string head = "[application]\nmain_class = \"M\"\n";
    const ErrorCase cases[] = {
        {"[application]\nmain_class = \"M\nname = 1\n", "app.toml:2:"},
        {"[application]\nmain_class = \"M\"\n\n[java\n", "app.toml:4:"},
        // The parser's own words, whole.
        {"[application]\nname = \"ab\x01\"\n", "app.toml:2:11: Error while parsing string: unescaped control "
                                               "characters other than TAB (U+0009) are "
                                               "explicitly prohibited"},
        {"[application]\nmain_class = \"M\"\nmian_class = \"N\"\n",
         "app.toml:3:14: unknown key \"application.mian_class\"; did you mean \"application.main_class\"?"},
        {"[application]\nmain_class = \"M\"\n[jvm]\nx = 1\n",
         "app.toml:3:1: unknown key or table \"jvm\"; did you mean \"vm\"?"},
        {"[application]\nmain_class = \"M\"\nfiles = [\"app.jar\"]\n",
         "unknown key \"application.files\"; files is a top-level key: write it before the first [table] "
         "line"},
        {"[application]\nmain_class = \"M\"\nmin_version = \"11\"\n",
         "unknown key \"application.min_version\"; \"min_version\" is a key of [java]"},
        {"[application]\nmain_class = \"M\"\n[[files]]\nsorce = \"app.jar\"\n",
         "did you mean \"files.source\"?"},
        {"[application]\nmain_class = \"M\"\n[splash.sound]\nx = 1\n", "unknown key \"splash.sound\""},
        {"[application]\nmain_class = \"M\"\nexecutable_type = \"gui\"\n",
         "app.toml:3:19: application.executable_type must be an integer, not a string"},
        {"[application]\nmain_class = \"M\"\nerror_log_enabled = 1\n", "must be a boolean"},
        {"[application]\nmain_class = \"M\"\nkind = \"service\"\n", "\"launcher\" or \"installer\""},
        {"[application]\nmain_class = \"M\"\nexecutable_type = 4294967296\n",
         "app.toml:3:19: application.executable_type is out of the range"},
        {"[application]\nmain_class = \"M\"\n[splash.status]\ncolour = [1, 2, 256]\n",
         "app.toml:4:17: splash.status.colour: each colour part"},
        {"[application]\nmain_class = \"M\"\n[splash.status]\ncolour = [1, 2]\n", "array of three integers"},
        {"[application]\nmain_class = \"M\"\nname = \"\xC4\x80pp\"\n",
         "app.toml:3:8: application.name: character U+0100 cannot"},
        {"[application]\nmain_class = \"M\"\nname = \"a\\u0000b\"\n", "NUL character"},
        {"[application]\nmain_class = \"M\"\n[splash.status]\nfont = \"A font name longer than thirty-one "
         "bytes\"\n",
         "the launcher reads at most 31"},
        {"[application]\nmain_class = \"M\"\n[java]\nsearch_sequence = [\"Y\", \"Q\"]\n",
         "app.toml:4:25: java.search_sequence: \"Q\" must start with a location letter"},
        {"[application]\nmain_class = \"M\"\n[vm]\nclass_path = [\"a.jar\"]\n", "must be a type letter"},
        {"[application]\nmain_class = \"M\"\npath_prefix = [\"a;b\"]\n", "must not be empty nor contain ';'"},
        {"[application]\nmain_class = \"M\"\n[messages]\ndownload_progress = \"%s of %s\"\n",
         "exactly the conversions %f, %f, %f, %f"},
        {"[application]\nmain_class = \"M\"\n[messages]\nquestion_with_download = \"%S only\"\n", "%S, %S"},
        {"[application]\nmain_class = \"M\"\n[java]\ndownload_sha256 = \"ba7816bf\"\n",
         "app.toml:4:19: java.download_sha256 must be a SHA-256 digest of 64 hex digits"},
        {"[application]\nname = \"N\"\n", "app.toml: application.main_class is required"},
        {"[application]\nmain_class = \"M\"\n[[files]]\nsource = \"missing.jar\"\n",
         "app.toml:4:10: included file"},
        {"[application]\nmain_class = \"M\"\n[[files]]\nsource = \"app.jar\"\nname = \"../app.jar\"\n",
         "app.toml:5:8: included file app.jar: \"../app.jar\" has a directory part"},
        {"[application]\nmain_class = \"M\"\n[[files]]\nsource = \"app.jar\"\nname = \"C:app.jar\"\n",
         "drive letter"},
        {"[application]\nmain_class = \"M\"\n[[files]]\nsource = \"app.jar\"\nname = \"..\"\n",
         "\"..\" is not a file name"},
        {"[application]\nmain_class = \"M\"\n[[files]]\nsource = \"app.jar\"\nname = \"\"\n",
         "the file name is empty"},
        {"[application]\nmain_class = \"M\"\n[[files]]\nsource = \"app.jar\"\nname = \"a;b.jar\"\n",
         "contains ';'"},
        {"[application]\nmain_class = \"M\"\n[[files]]\nsource = \"app.jar\"\nname = \"/abs.jar\"\n",
         "directory part"},
        {"[application]\nmain_class = \"M\"\n[[files]]\nsource = \"app.jar\"\nmode = 1\n",
         "app.toml:5:8: unknown key \"files.mode\""},
        {"[application]\nmain_class = \"M\"\n[[files]]\nname = \"x.jar\"\n", "needs a source path"},
        {"files = [3]\n[application]\nmain_class = \"M\"\n", "source of an included file must be a string"},
    };
    for (const ErrorCase& row : cases) {
        PackRequest request;
        std::string error;
        EXPECT_FALSE(parse(row.toml, &request, &error)) << row.toml;
        EXPECT_NE(error.find(row.expected), std::string::npos)
            << "got: " << error << "\nwanted: " << row.expected;
    }
}

// Debian's toml++ has undefined behaviour for some characters beyond ASCII outside texts and after a
// line-ending backslash: they reach it swapped for stand-ins and come back whole in the values.
TEST_F(ProjectFileTest, NonAsciiIsKeptInTextsAndRefusedOutside) {
    struct Row {
        std::string text;
        const char* caption; // the 8-bit error caption read back; nullptr: refused with error
        const char* error;
    } rows[] = {
        {"# Zażółć gęślą jaźń ぁ\n" + std::string(kMinimal), "Error", nullptr},
        {std::string(kMinimal) + "[messages]\nerror_caption = \"Ça \\\" ñ\"\n",
         "\xc7"
         "a \" \xf1",
         nullptr},
        {std::string(kMinimal) + "[messages]\nerror_caption = \"\"\"Ça \\\n   é\"\"\"\n",
         "\xc7"
         "a \xe9",
         nullptr},
        {std::string(kMinimal) + "[messages]\nerror_caption = '''Ça ''\n'é'''\n",
         "\xc7"
         "a ''\n'\xe9",
         nullptr},
        {std::string(kMinimal) + "ключ = 1\n", nullptr, "app.toml:5:"},
        {std::string(kMinimal) + "x = 1é\n", nullptr, "app.toml:5:"},
        {std::string(kMinimal) + "[messages]\nerror_caption = \"\"\"\\é\"\"\"\n", nullptr, "app.toml:6:"},
        {std::string(kMinimal) + "[messages]\nerror_caption = \"\xee\x80\x80\"\n", nullptr,
         "app.toml:6:18: characters U+E000 to U+EBFF"},
        {std::string(kMinimal) + "x = 1\xff\n", nullptr, "app.toml:5:"},
    };
    for (const Row& row : rows) {
        PackRequest request;
        std::string error;
        const bool parsed = parse(row.text, &request, &error);
        if (row.caption != nullptr) {
            ASSERT_TRUE(parsed) << row.text << "\n" << error;
            std::map<int32_t, std::string> config(request.tables.config.begin(), request.tables.config.end());
            EXPECT_EQ(config[payload::config::ErrorCaption], row.caption) << row.text;
        } else {
            EXPECT_FALSE(parsed) << row.text;
            EXPECT_EQ(error.compare(0, std::strlen(row.error), row.error), 0) << row.text << "\n" << error;
        }
    }
}

// A hostile project file cannot make a message of its own size.
TEST_F(ProjectFileTest, LongKeysAndValuesAreCutInMessages) {
    const std::string huge(1 << 20, 'k');
    for (const std::string& text :
         {std::string(kMinimal) + huge + " = 1\n", std::string(kMinimal) + "[messages]\n" + huge + " = 1\n",
          std::string(kMinimal) + "[[files]]\nsource = \"" + huge + "\"\n",
          std::string(kMinimal) + "[[files]]\nsource = \"app.jar\"\nname = \"" + huge + ".\"\n",
          std::string(kMinimal) + "[" + huge + "\n"}) {
        SCOPED_TRACE(text.substr(text.size() - 20));
        PackRequest request;
        std::string error;
        EXPECT_FALSE(parse(text, &request, &error));
        EXPECT_LT(error.size(), 300u) << error.substr(0, 300);
    }
}

TEST_F(ProjectFileTest, FilesAcceptPlainSourcePathsAndKeepTheirOrder) {
    writeFile(directory_ + "/b.dat", "b");
    PackRequest request;
    std::string error;
    ASSERT_TRUE(parse("files = [\"b.dat\", {source = \"app.jar\", name = \"main.jar\"}]\n"
                      "[application]\nmain_class = \"M\"\n",
                      &request, &error))
        << error;
    ASSERT_EQ(request.files.size(), 2u);
    EXPECT_EQ(request.files[0].name, "b.dat");
    EXPECT_EQ(request.files[1].name, "main.jar");
}

TEST_F(ProjectFileTest, LoadingFromDiskResolvesSourcesBesideTheProjectFile) {
    writeFile(directory_ + "/app.toml", kMinimal);
    PackRequest request;
    std::string error;
    ASSERT_TRUE(loadProjectFile(directory_ + "/app.toml", &request, &error)) << error;
    EXPECT_EQ(request.files.at(0).sourcePath, directory_ + "/app.jar");
    EXPECT_FALSE(loadProjectFile(directory_ + "/none.toml", &request, &error));
    EXPECT_NE(error.find("none.toml"), std::string::npos);
}

TEST(ProjectKeys, EveryPayloadIdHasExactlyOneKey) {
    std::map<std::pair<int32_t, bool>, int> seen;
    for (const ProjectKey& key : projectKeys())
        ++seen[{key.id, key.type == ValueType::Message16}];
    for (const auto& [id, count] : seen)
        EXPECT_EQ(count, 1) << id.first;
    const int32_t configIds[] = {101,   102,   103,   104,   105,   106,   107,   121,   122,   123,
                                 124,   125,   126,   127,   128,   130,   131,   141,   142,   145,
                                 146,   147,   150,   151,   152,   153,   1000,  1001,  1002,  1003,
                                 1004,  1005,  1006,  1007,  1008,  1009,  1010,  1011,  2001,  2002,
                                 2003,  10003, 10004, 10005, 10109, 10110, 10111, 10112, 10113, 10114,
                                 10115, 10116, 10117, 10118, 10119, 10120, 10121, 10122, 10123, 10201};
    for (int32_t id : configIds)
        EXPECT_NE(findKeyById(id, false), nullptr) << id;
    for (int32_t id = 20001; id <= 20019; ++id)
        EXPECT_EQ(findKeyById(id, true) != nullptr, id != 20017) << id;
}

} // namespace
} // namespace kestro::packer
