// The project-file documentation must describe exactly the keys the packer reads, and the build-tool
// examples must pack.
#include "pe_image.h"
#include "project_keys.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
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

// Maven and Gradle themselves are not run here (their plugins would come from the network); what the
// examples hand to the packer is: the project file of each, over the files its build leaves, and the
// command line of the exec plugin or Exec task, with the stub and runtime jar of this build tree.
TEST(BuildToolDocs, MavenAndGradleExamplesPack) {
    const auto blocks = codeBlocks("build-tools.md");
    ASSERT_EQ(blocks.size(), 4u);
    const std::string directory = testing::makeTestDirectory();
    testing::writeFile(directory + "/stub.exe", testing::buildPeImage({{0x400, 0x200}}));
    testing::writeFile(directory + "/runtime.jar", "runtime");
    const std::string tail = " --stub " + directory + "/stub.exe --runtime-jar " + directory + "/runtime.jar";

    // Maven: target/app-1.0.jar and target/lib from copy-dependencies.
    const std::string maven = directory + "/maven";
    testing::writeJar(maven + "/target/app-1.0.jar", {"com/example/App.class"}, "com.example.App");
    testing::writeJar(maven + "/target/lib/dependency-2.3.jar", {"org/dep/Dep.class"});
    ASSERT_EQ(blocks[0].first, "toml");
    testing::writeFile(maven + "/kestro.toml", blocks[0].second);
    ASSERT_EQ(blocks[1].first, "xml");
    std::string command = KESTRO_CLI;
    const std::regex argument("<argument>([^<]*)</argument>");
    for (std::sregex_iterator it(blocks[1].second.begin(), blocks[1].second.end(), argument), end; it != end;
         ++it) {
        std::string value = (*it)[1];
        value = std::regex_replace(value, std::regex("\\$\\{project\\.basedir\\}"), maven);
        value =
            std::regex_replace(value, std::regex("\\$\\{project\\.build\\.directory\\}"), maven + "/target");
        command += " " + quotedForShell(value);
    }
    EXPECT_EQ(std::system((command + tail + " >/dev/null").c_str()), 0) << command;
    EXPECT_TRUE(std::ifstream(maven + "/target/App.exe").good());

    // Gradle: build/libs from the jar task, build/deps from the copy task; Exec runs in the project.
    const std::string gradle = directory + "/gradle";
    testing::writeJar(gradle + "/build/libs/app-1.0.jar", {"com/example/App.class"}, "com.example.App");
    testing::writeJar(gradle + "/build/deps/dependency-2.3.jar", {"org/dep/Dep.class"});
    ASSERT_EQ(blocks[2].first, "toml");
    testing::writeFile(gradle + "/kestro.toml", blocks[2].second);
    ASSERT_EQ(blocks[3].first, "kotlin");
    std::smatch call;
    ASSERT_TRUE(std::regex_search(blocks[3].second, call, std::regex("commandLine\\(([^)]*)\\)")));
    const std::string arguments = call[1];
    command = "cd " + quotedForShell(gradle) + " &&";
    const std::regex word("\"([^\"]*)\"");
    for (std::sregex_iterator it(arguments.begin(), arguments.end(), word), end; it != end; ++it)
        command += " " + ((*it)[1] == "kestro" ? std::string(KESTRO_CLI) : quotedForShell((*it)[1]));
    EXPECT_EQ(std::system((command + tail + " >/dev/null").c_str()), 0) << command;
    EXPECT_TRUE(std::ifstream(gradle + "/build/App.exe").good());
}

} // namespace
} // namespace kestro::packer
