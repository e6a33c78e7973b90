// The checks a project gets before anything is written: what a user gets wrong, with the line to fix,
// and the projects that must keep passing.
#include "payload/payload_format.h"
#include "pe_image.h"
#include "project/project_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace kestro::packer {
namespace {

namespace fs = std::filesystem;
using kestro::testing::makeTestDirectory;
using kestro::testing::writeFile;
using kestro::testing::writeJar;

class ProjectChecks : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = makeTestDirectory();
        writeJar(directory_ + "/build/libs/core-1.0.jar", {"com/example/Core.class"});
        writeJar(directory_ + "/build/libs/app-1.0.jar", {"com/example/App.class"}, "com.example.App");
        writeJar(directory_ + "/build/libs/gui.jar", {"com/example/gui/Application.class"},
                 "com.example.gui.Application");
        writeJar(directory_ + "/build/libs/plain.jar", {"com/example/Plain.class"});
        writeJar(directory_ + "/other/app-1.0.jar", {"x/Y.class"});
        writeJar(directory_ + "/build/next/app-1.1.jar", {"com/example/App.class"}, "com.example.App");
        writeJar(directory_ + "/mr.jar", {"META-INF/versions/11/com/example/Modern.class"});
        writeJar(directory_ + "/nandu.jar", {"com/example/\u00d1and\u00fa.class"},
                 "com.example.\u00d1and\u00fa");
        // A class file of version 55, Java 11.
        writeJar(directory_ + "/java11.jar", {"com/example/Eleven.class"}, "com.example.Eleven",
                 {{"com/example/Eleven.class", std::string("\xca\xfe\xba\xbe\0\0\0\x37", 8)}});
        writeFile(directory_ + "/notes.txt", "not a jar");
        writeFile(directory_ + "/broken.jar", "not a zip");
        fs::create_directories(directory_ + "/lib/nested");
        writeFile(directory_ + "/lib/b.dll", "b");
        writeFile(directory_ + "/lib/a.dll", "a");
        writeFile(directory_ + "/lib/nested/c.dll", "c");
        writeFile(directory_ + "/lib/.gitkeep", "");
        fs::create_directories(directory_ + "/empty");
    }

    bool parse(const std::string& text, PackRequest* request, std::string* error) {
        return parseProjectText(text, "app.toml", directory_, request, error);
    }

    std::string directory_;
};

TEST_F(ProjectChecks, MistakesAreReportedWithTheLineToFix) {
    const std::pair<const char*, const char*> rows[] = {
        {"[application]\nmain_class = \"M\"\n[splash]\nwidth = -5\n",
         "app.toml:4:9: splash.width must not be negative"},
        {"[application]\nmain_class = \"M\"\n[splash.status]\nx = -1\n",
         "app.toml:4:5: splash.status.x must not be negative"},
        {"[application]\nmain_class = \"M\"\n[java]\nmin_version = \"1.8x\"\n",
         "app.toml:4:15: java.min_version \"1.8x\" is not a Java version"},
        {"[application]\nmain_class = \"M\"\n[java]\nmax_version = \"1..8\"\n",
         "app.toml:4:15: java.max_version"},
        {"[application]\nmain_class = \"M\"\n[java]\nmin_version = \"17-\"\n", "is not a Java version"},
        {"[application]\nmain_class = \"M\"\n[java]\nmin_version = \"11\"\nmax_version = \"1.8.0_45\"\n",
         "app.toml:5:15: java.max_version 1.8.0_45 is below java.min_version 11"},
        {"[application]\nmain_class = \"M\"\n[java]\nmin_version = \"17.0.2\"\nmax_version = \"17.0.1\"\n",
         "below java.min_version 17.0.2"},
        {"[application]\nmain_class = \"com.example.Core\"\n[[files]]\nsource = \"build/libs/core-1.0.jar\"\n"
         "[[files]]\nsource = \"other/app-1.0.jar\"\nname = \"CORE-1.0.jar\"\n",
         "app.toml:7:8: the included file name \"CORE-1.0.jar\" is used twice"},
        {"files = [\"build/libs/*.jar\", \"other/*.jar\"]\n[application]\nmain_class = \"com.example.App\"\n",
         "app.toml:1:30: the included file name \"app-1.0.jar\" is used twice"},
        {"files = [\"build/libs/*.war\"]\n[application]\nmain_class = \"M\"\n",
         "app.toml:1:10: the pattern build/libs/*.war matches no file"},
        {"files = [\"empty\"]\n[application]\nmain_class = \"M\"\n", "app.toml:1:10: the directory"},
        {"[[files]]\nsource = \"lib\"\nname = \"x.dll\"\n[application]\nmain_class = \"M\"\n",
         "app.toml:3:8: files.name renames one file; lib is a pattern or a directory"},
        {"files = [\"build/libs/*.jar\"]\n[application]\nmain_class = \"com.example.Missing\"\n",
         "app.toml:3:14: the main class com.example.Missing is in none of the included jars"},
        {"files = [\"build/libs/core-1.0.jar\"]\n[application]\nmain_jar = \"app-1.0.jar\"\n",
         "app.toml:3:12: application.main_jar \"app-1.0.jar\" is none of the included jars"},
        {"files = [\"build/libs/plain.jar\"]\n[application]\nmain_jar = \"plain.jar\"\n",
         "app.toml:3:12: application.main_jar: " /* path follows */},
        {"files = [\"build/libs/plain.jar\"]\n[application]\nmain_jar = \"plain.jar\"\n",
         "has no Main-Class in its manifest; give application.main_class"},
        {"files = [\"broken.jar\"]\n[application]\nmain_jar = \"broken.jar\"\n", "is not a readable jar"},
        // Downloads the launcher can fetch, and only checked ones over plain HTTP.
        {"[application]\nmain_class = \"M\"\n[java]\ndownload_url = \"ftp://example.com/jre.tar.gz\"\n",
         "app.toml:4:16: java.download_url \"ftp://example.com/jre.tar.gz\" is no location the launcher can "
         "fetch"},
        {"[application]\nmain_class = \"M\"\n[java]\ndownload_url = \"example.com/jre.tar.gz\"\n",
         "is no location the launcher can fetch: it downloads http:// and https:// locations"},
        {"[application]\nmain_class = \"M\"\n[java]\ndownload_url = \"https:///jre.tar.gz\"\n",
         "is no location the launcher can fetch"},
        {"[application]\nmain_class = \"M\"\n[java]\ndownload_url = \"http://example.com/jre.tar.gz\"\n",
         "app.toml:4:16: java.download_url is a plain http:// location without java.download_sha256"},
        {"[application]\nmain_class = \"M\"\n[java]\ndownload_url = \"http://example.com/jre.tar.gz\"\n"
         "allow_insecure_download = \"yes\"\n",
         "app.toml:5:27: java.allow_insecure_download must be a boolean"},
        {"files = [\"build/libs/*.jar\"]\n[application]\nmain_class = \"com/example/App\"\n",
         "app.toml:3:14: application.main_class \"com/example/App\" is written with slashes, which no class "
         "name "
         "has; write \"com.example.App\""},
        {"files = [\"build/libs/core-1.0.jar\"]\n[application]\nmain_jar = \"core-1.0.jar\"\nmain_class = "
         "3\n",
         "app.toml:4:14: application.main_class must be a string"},
    };
    for (const auto& [project, expected] : rows) {
        PackRequest request;
        std::string error;
        EXPECT_FALSE(parse(project, &request, &error)) << project;
        EXPECT_NE(error.find(expected), std::string::npos) << "got: " << error << "\nwanted: " << expected;
    }
}

TEST_F(ProjectChecks, ProjectsAsUsersWriteThemPass) {
    struct Row {
        const char* project;
        const char* mainClass;
        std::vector<std::string> names; // included files, in order
        const char* warning;            // a part of the one warning expected, or nullptr for none
    };
    const Row rows[] = {
        {"files = [\"build/libs/*.jar\", \"lib\", \"notes.txt\"]\n[application]\nmain_jar = "
         "\"app-1.0.jar\"\n",
         "com.example.App",
         {"app-1.0.jar", "core-1.0.jar", "gui.jar", "plain.jar", "a.dll", "b.dll", "notes.txt"},
         nullptr},
        // A manifest line continued on the next; main_jar given by its source path.
        {"files = [\"build/libs/gui.jar\"]\n[application]\nmain_jar = \"build/libs/gui.jar\"\n",
         "com.example.gui.Application",
         {"gui.jar"},
         nullptr},
        // main_class wins over the manifest's.
        {"files = [\"build/libs/*.jar\"]\n[application]\nmain_jar = \"APP-1.0.jar\"\nmain_class = "
         "\"com.example.Core\"\n",
         "com.example.Core",
         {"app-1.0.jar", "core-1.0.jar", "gui.jar", "plain.jar"},
         nullptr},
        // The maximum 17 admits every 17.x, so 17.0.5 and later fit.
        {"files = [\"mr.jar\"]\n[application]\nmain_class = \"com.example.Modern\"\n[java]\nmin_version = "
         "\"17.0.5\"\nmax_version = \"17\"\n",
         "com.example.Modern",
         {"mr.jar"},
         nullptr},
        // The class comes from the class path, out of the packer's sight.
        {"files = [\"build/libs/core-1.0.jar\"]\n[application]\nmain_class = \"com.example.Elsewhere\"\n"
         "[vm]\nclass_path = [\"A1lib\\\\extra.jar\"]\n",
         "com.example.Elsewhere",
         {"core-1.0.jar"},
         "it must come from vm.class_path"},
        {"files = [\"broken.jar\"]\n[application]\nmain_class = \"M\"\n",
         "M",
         {"broken.jar"},
         "its classes were not searched"},
        {"[application]\nmain_class = \"M\"\n[java]\ndownload_url = \"HTTP://example.com/jre.tar.gz\"\n"
         "download_sha256 = \"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\"\n",
         "M",
         {},
         nullptr},
        {"[application]\nmain_class = \"M\"\n[java]\ndownload_url = \"https://example.com/jre.tar.gz\"\n",
         "M",
         {},
         "app.toml:4:16: java.download_url has no java.download_sha256"},
        {"[application]\nmain_class = \"M\"\n[java]\ndownload_url = \"http://example.com/jre.tar.gz\"\n"
         "allow_insecure_download = true\n",
         "M",
         {},
         "is a plain http:// location, allowed unchecked by java.allow_insecure_download"},
        // A jar a newer build left beside the older one.
        {"files = [\"build/libs/app-1.0.jar\", \"build/next/app-1.1.jar\"]\n[application]\nmain_class = "
         "\"com.example.App\"\n",
         "com.example.App",
         {"app-1.0.jar", "app-1.1.jar"},
         "app.toml: the included jars app-1.0.jar and app-1.1.jar are versions of one artifact"},
        // Names beyond ASCII: UTF-8 in the jar and the project, code page 1252 in the launcher.
        {"files = [\"nandu.jar\"]\n[application]\nmain_jar = \"nandu.jar\"\n",
         "com.example.\xd1"
         "and\xfa",
         {"nandu.jar"},
         nullptr},
        {"files = [\"nandu.jar\"]\n[application]\nmain_class = \"com.example.\u00d1and\u00fa\"\n",
         "com.example.\xd1"
         "and\xfa",
         {"nandu.jar"},
         nullptr},
        {"files = [\"java11.jar\"]\n[application]\nmain_jar = \"java11.jar\"\n",
         "com.example.Eleven",
         {"java11.jar"},
         "java11.jar is compiled for Java 11 (class file version 55), but java.min_version is 1.8"},
        {"files = [\"java11.jar\"]\n[application]\nmain_jar = \"java11.jar\"\n[java]\nmin_version = \"11\"\n",
         "com.example.Eleven",
         {"java11.jar"},
         nullptr},
        {"[application]\nmain_class = \"M\"\n[vm]\nparameters = \"-Xmx1g -Dhome=%KESTRO_EXEDIR% -Dx=1\"\n",
         "M",
         {},
         "app.toml:4:14: vm.parameters: %KESTRO_EXEDIR% stands outside double quotes"},
        {"[application]\nmain_class = \"M\"\n[vm]\nparameters = '-Dhome=\"${launcher:sys.jvmHome}\" "
         "-Dt=\"%KESTRO_TEMPDIR%\\x\"'\n",
         "M",
         {},
         nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.project);
        PackRequest request;
        std::string error;
        ASSERT_TRUE(parse(row.project, &request, &error)) << error;
        std::map<int32_t, std::string> config(request.tables.config.begin(), request.tables.config.end());
        EXPECT_EQ(config[payload::config::MainClass], row.mainClass);
        std::vector<std::string> names;
        for (const IncludedFile& file : request.files)
            names.push_back(file.name);
        EXPECT_EQ(names, row.names);
        if (row.warning == nullptr) {
            EXPECT_TRUE(request.warnings.empty()) << request.warnings.front();
        } else {
            ASSERT_EQ(request.warnings.size(), 1u);
            EXPECT_NE(request.warnings[0].find(row.warning), std::string::npos) << request.warnings[0];
        }
    }
}

// What changes from build to build comes from the build: values set on its command line, and the
// environment in the project's texts.
TEST_F(ProjectChecks, ValuesFromTheBuildTakeTheProjectsPlace) {
    setenv("KESTRO_TEST_VERSION", "1.0", 1);
    unsetenv("KESTRO_TEST_UNSET");
    const std::string project =
        "files = [\"build/libs/app-${env:KESTRO_TEST_VERSION}.jar\"]\n"
        "[application]\nmain_jar = \"app-1.0.jar\"\n[version]\nfile_version = \"0.1\"\n";
    PackRequest request;
    std::string error;
    ASSERT_TRUE(parseProjectText(project, "app.toml", directory_, &request, &error,
                                 {{"version.file_version", "1.2.3"},
                                  {"application.name", "Build ${env:KESTRO_TEST_VERSION}"},
                                  {"splash.width", "300"}}))
        << error;
    std::map<int32_t, std::string> config(request.tables.config.begin(), request.tables.config.end());
    EXPECT_EQ(config[payload::config::MainClass], "com.example.App");
    EXPECT_EQ(config[payload::config::ApplicationName], "Build 1.0");
    EXPECT_EQ(config[payload::config::SplashWidth], "300");
    EXPECT_NE(request.resources[16][1][1033].bytes.find(std::string("1\0.\0"
                                                                    "2\0.\0"
                                                                    "3\0",
                                                                    10)),
              std::string::npos);

    const std::pair<std::vector<ProjectValue>, const char*> refused[] = {
        {{{"version", "1.2"}}, "--set version: version is a table; set one of its keys, such as version."},
        {{{"application.mian_class", "M"}},
         "--set application.mian_class: unknown key; did you mean \"application.main_class\"?"},
        {{{"splash.width", "wide"}}, "--set splash.width: \"wide\" is no TOML value"},
        {{{"splash.width", "-3"}}, "app.toml (--set): splash.width must not be negative"},
        {{{"application.main_jar", "${env:KESTRO_TEST_UNSET}.jar"}},
         "app.toml (--set): ${env:KESTRO_TEST_UNSET}: the environment variable KESTRO_TEST_UNSET is not set"},
    };
    for (const auto& [values, expected] : refused) {
        EXPECT_FALSE(parseProjectText(project, "app.toml", directory_, &request, &error, values)) << expected;
        EXPECT_NE(error.find(expected), std::string::npos) << "got: " << error << "\nwanted: " << expected;
    }
    EXPECT_FALSE(parseProjectText("[application]\nname = \"${env:KESTRO_TEST_UNSET}\"\n", "app.toml",
                                  directory_, &request, &error));
    EXPECT_NE(error.find("app.toml:2:8: ${env:KESTRO_TEST_UNSET}: the environment variable"),
              std::string::npos)
        << error;
}

} // namespace
} // namespace kestro::packer
