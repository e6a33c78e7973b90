// The project-file documentation must describe exactly the keys the packer reads, and the build-tool
// examples must pack.
#include "pe_image.h"
#include "project/project_keys.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace kestro::packer {
namespace {

const char* typeWord(ValueType type) {
    switch (type) {
    case ValueType::Text:
        return "string";
    case ValueType::Integer:
        return "integer";
    case ValueType::Flag:
        return "boolean";
    case ValueType::Colour:
        return "colour";
    case ValueType::List:
        return "string array";
    case ValueType::Kind:
        return "kind";
    case ValueType::Message16:
        return "wide string";
    case ValueType::Sha256:
        return "SHA-256";
    case ValueType::Derived:
        return "derived";
    }
    return "";
}

// Reads the rows "| `key` | type | default | id | meaning |" under headings "### [section]".
std::set<std::string> documentedKeys() {
    std::ifstream in(std::string(KESTRO_SOURCE_DIR) + "/docs/project-file.md");
    EXPECT_TRUE(in.good());
    std::set<std::string> rows;
    std::string section, line;
    while (std::getline(in, line)) {
        if (line.rfind("### [", 0) == 0) {
            section = line.substr(5, line.find(']') - 5);
        } else if (!section.empty() && line.rfind("| `", 0) == 0) {
            std::vector<std::string> cells;
            std::stringstream stream(line.substr(1));
            for (std::string cell; std::getline(stream, cell, '|');)
                cells.push_back(cell.substr(cell.find_first_not_of(' '),
                                            cell.find_last_not_of(' ') - cell.find_first_not_of(' ') + 1));
            if (cells.size() >= 4)
                rows.insert(section + "." + cells[0].substr(1, cells[0].size() - 2) + " " + cells[1] + " " +
                            cells[3]);
        }
    }
    return rows;
}

TEST(ProjectFileDocs, DocumentEveryKeyWithItsTypeAndId) {
    std::set<std::string> fromTable;
    for (const ProjectKey& key : projectKeys()) {
        if (key.type != ValueType::Derived)
            fromTable.insert(std::string(key.section) + "." + key.name + " " + typeWord(key.type) + " " +
                             std::to_string(key.id));
    }
    const std::set<std::string> documented = documentedKeys();
    for (const std::string& row : fromTable)
        EXPECT_EQ(documented.count(row), 1u) << "not documented as such: " << row;
    for (const std::string& row : documented)
        EXPECT_EQ(fromTable.count(row), 1u) << "documented but not read by the packer: " << row;
}

// "Name = number" of the enum in namespace table ("config" or "message") of the payload format.
std::map<std::string, int32_t> payloadIds(const std::string& table) {
    const std::string header =
        testing::readFile(std::string(KESTRO_SOURCE_DIR) + "/common/payload/payload_format.h");
    const size_t start = header.find("namespace " + table + " {");
    const std::string body = header.substr(start, header.find("} // namespace " + table, start) - start);
    std::map<std::string, int32_t> ids;
    const std::regex entry(R"((\w+) = (\d+),)");
    for (std::sregex_iterator it(body.begin(), body.end(), entry), end; it != end; ++it)
        ids[(*it)[1]] = std::stoi((*it)[2]);
    return ids;
}

// The launcher reads every configuration and message by its name in the payload format, never by
// its number, and each of those is a key of the project file: launcher and packer cannot disagree.
TEST(ProjectFileDocs, EveryIdTheLauncherReadsIsAProjectKey) {
    const std::map<std::string, int32_t> ids[] = {payloadIds("config"), payloadIds("message")};
    ASSERT_GT(ids[0].size(), 50u);
    ASSERT_GT(ids[1].size(), 10u);
    const std::regex byNumber(
        R"(\b(getConfig(Text|Number|Colour)|getMessage|showMessage|fatalMessage(Wide)?)\(\s*\d)");
    const std::regex byName(R"(\b(config|message)::(\w+))");
    size_t reads = 0;
    for (const auto& file : std::filesystem::recursive_directory_iterator(KESTRO_SOURCE_DIR "/launcher")) {
        if (!file.is_regular_file())
            continue;
        const std::string text = testing::readFile(file.path().string());
        EXPECT_FALSE(std::regex_search(text, byNumber)) << file.path() << " reads an id by its number";
        for (std::sregex_iterator it(text.begin(), text.end(), byName), end; it != end; ++it, ++reads) {
            const bool message = (*it)[1] == "message";
            const auto id = ids[message].find((*it)[2]);
            if (id == ids[message].end())
                ADD_FAILURE() << file.path() << ": " << it->str() << " is not in the payload format";
            else
                EXPECT_NE(findKeyById(id->second, message), nullptr)
                    << file.path() << " reads " << it->str() << " (" << id->second << "), which no key sets";
        }
    }
    EXPECT_GT(reads, 80u);
}

// The fenced blocks of a document, in order, each as (language, text).
std::vector<std::pair<std::string, std::string>> codeBlocks(const std::string& document) {
    std::vector<std::pair<std::string, std::string>> blocks;
    std::ifstream in(std::string(KESTRO_SOURCE_DIR) + "/docs/" + document);
    EXPECT_TRUE(in.good()) << document;
    std::string line, language, text;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.rfind("```", 0) == 0) {
            if (inside)
                blocks.emplace_back(language, text);
            inside = !inside;
            language = line.substr(3);
            text.clear();
        } else if (inside) {
            text += line + "\n";
        }
    }
    return blocks;
}

std::string quotedForShell(const std::string& text) {
    return "'" + text + "'";
}

using test_support::runShell;

// Real Maven and Gradle builds, offline, with the examples' own text: Maven's plugins and a dependency
// come from Debian's repository, Gradle compiles, jars and copies the dependencies itself. A `kestro` on
// the builds' PATH calls this tree's packer with this tree's stub and runtime jar. A jar an earlier
// build left behind stays out of the launcher.
TEST(BuildToolDocs, MavenAndGradleBuildsPackTheExamples) {
    const auto blocks = codeBlocks("build-tools.md");
    ASSERT_EQ(blocks.size(), 4u);
    const std::string directory = testing::makeTestDirectory();
    testing::writeFile(directory + "/stub.exe", testing::buildPeImage({{0x400, 0x200}}));
    testing::writeFile(directory + "/runtime.jar", "runtime");
    testing::writeFile(directory + "/bin/kestro",
                       "#!/bin/sh\nexec " + quotedForShell(KESTRO_CLI) + " \"$@\" --stub " +
                           quotedForShell(directory + "/stub.exe") + " --runtime-jar " +
                           quotedForShell(directory + "/runtime.jar") + "\n");
    ASSERT_EQ(std::system(("chmod +x " + quotedForShell(directory + "/bin/kestro")).c_str()), 0);
    const std::string path = "PATH=" + quotedForShell(directory + "/bin") + ":\"$PATH\" ";
    const std::string app =
        "package com.example;\npublic class App { public static void main(String[] a) {} }\n";
    std::string output;

    const std::string maven = directory + "/maven";
    testing::writeFile(maven + "/src/main/java/com/example/App.java", app);
    testing::writeJar(maven + "/target/app-0.9.jar", {"com/example/Old.class"}, "com.example.Old");
    ASSERT_EQ(blocks[0].first, "toml");
    testing::writeFile(maven + "/kestro.toml", blocks[0].second);
    ASSERT_EQ(blocks[1].first, "xml");
    testing::writeFile(
        maven + "/pom.xml",
        "<project xmlns=\"http://maven.apache.org/POM/4.0.0\">\n<modelVersion>4.0.0</modelVersion>\n"
        "<groupId>com.example</groupId><artifactId>app</artifactId><version>1.0</version>\n"
        "<dependencies><dependency><groupId>commons-io</groupId><artifactId>commons-io</artifactId>"
        "<version>2.11.0</version></dependency></dependencies>\n" +
            blocks[1].second + "</project>\n");
    EXPECT_EQ(runShell("cd " + quotedForShell(maven) + " && " + path +
                           "mvn -o -B -q -Dmaven.repo.local=/usr/share/maven-repo package",
                       &output),
              0)
        << output;
    EXPECT_TRUE(std::ifstream(maven + "/target/App.exe").good()) << output;
    EXPECT_TRUE(std::ifstream(maven + "/target/lib/commons-io-2.11.0.jar").good()) << output;
    EXPECT_EQ(output.find("warning"), std::string::npos) << output;

    const std::string gradle = directory + "/gradle";
    testing::writeFile(gradle + "/src/main/java/com/example/App.java", app);
    testing::writeJar(gradle + "/lib/dependency-2.3.jar", {"org/dep/Dep.class"});
    testing::writeJar(gradle + "/build/libs/app-0.9.jar", {"com/example/Old.class"}, "com.example.Old");
    testing::writeFile(gradle + "/settings.gradle", "rootProject.name = 'app'\n");
    ASSERT_EQ(blocks[2].first, "toml");
    testing::writeFile(gradle + "/kestro.toml", blocks[2].second);
    ASSERT_EQ(blocks[3].first, "groovy");
    testing::writeFile(gradle + "/build.gradle",
                       blocks[3].second +
                           "\ndependencies { implementation files('lib/dependency-2.3.jar') }\n");
    // Debian 12's Gradle 4.4 predates tasks.register and tasks.named (Gradle 4.9) and the java block
    // (4.10), which the example uses as current Gradle wants: here they create and find the tasks at
    // once and set the java plugin's convention.
    testing::writeFile(
        gradle + "/gradle-4.4.gradle",
        "gradle.beforeProject { project ->\n"
        "    def tasks = project.tasks\n"
        "    if (!tasks.metaClass.respondsTo(tasks, 'register')) {\n"
        "        tasks.metaClass.register = { String name, Class type, Closure configure ->\n"
        "            tasks.create(name, type, configure) }\n"
        "        tasks.metaClass.named = { String name, Closure configure = null ->\n"
        "            def task = tasks.getByName(name)\n"
        "            if (configure != null) project.configure(task, configure)\n"
        "            task }\n"
        "        project.metaClass.java = { Closure configure -> project.configure(\n"
        "            project.convention.getPlugin(org.gradle.api.plugins.JavaPluginConvention), configure) "
        "}\n"
        "    }\n"
        "}\n");
    EXPECT_EQ(runShell("cd " + quotedForShell(gradle) + " && " + path +
                           "GRADLE_USER_HOME=" + quotedForShell(directory + "/gradle-home") +
                           " gradle --offline --no-daemon -q --init-script gradle-4.4.gradle windowsLauncher",
                       &output),
              0)
        << output;
    EXPECT_TRUE(std::ifstream(gradle + "/build/App.exe").good()) << output;
    EXPECT_TRUE(std::ifstream(gradle + "/build/deps/dependency-2.3.jar").good()) << output;
    EXPECT_EQ(output.find("warning"), std::string::npos) << output;
}

// `make install` puts the man page, made from the help, and the documentation beside the packer.
TEST(Install, PutsThePackerItsManPageAndItsDocumentation) {
    const std::string prefix = testing::makeTestDirectory();
    std::string output;
    ASSERT_EQ(runShell("cmake --install " + quotedForShell(KESTRO_BINARY_DIR) + " --prefix " +
                           quotedForShell(prefix),
                       &output),
              0)
        << output;
    for (const char* installed : {"/bin/kestro", "/share/kestro/kestro-runtime.jar",
                                  "/share/doc/kestro/project-file.md", "/share/doc/kestro/build-tools.md",
                                  "/share/doc/kestro/java-api.md", "/share/kestro/stubs/linux-x64"})
        EXPECT_TRUE(std::ifstream(prefix + installed).good()) << installed;
    std::ifstream in(prefix + "/share/man/man1/kestro.1");
    const std::string page((std::istreambuf_iterator<char>(in)), {});
    for (const char* part : {".TH KESTRO \"1\"", ".SH SYNOPSIS", "kestro pack: Build a launcher",
                             "\\-\\-sign\\-password\\-file", ".SH \"EXIT STATUS\"", "share/doc/kestro"})
        EXPECT_NE(page.find(part), std::string::npos) << part << " in\n" << page;
}

} // namespace
} // namespace kestro::packer
