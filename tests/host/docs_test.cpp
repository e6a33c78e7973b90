// The project-file documentation must describe exactly the keys the packer reads.
#include "project_keys.h"

#include <fstream>
#include <gtest/gtest.h>
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

} // namespace
} // namespace kestro::packer
