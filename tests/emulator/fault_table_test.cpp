// The one table of faults: every fault it lists is taken by the parser, and emulator/README.md
// tables exactly these faults, so a fault added to one place alone fails here.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "faults.h"

namespace {

std::set<std::string> tabledInReadme() {
    std::ifstream file(std::string(QM_SOURCE_DIR) + "/emulator/README.md");
    std::stringstream text;
    text << file.rdbuf();
    const std::string all = text.str();
    const std::size_t section = all.find("\n## Faults");
    EXPECT_NE(section, std::string::npos) << "emulator/README.md has no Faults section";
    std::set<std::string> names;
    std::istringstream lines(all.substr(section + 1));
    const std::regex row(R"(^\| `([^`]+)` \| .+ \|$)");
    bool inTable = false;
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, row)) {
            names.insert(match[1]);
            inTable = true;
        } else if (inTable && !line.starts_with("|")) {
            break;  // the first table of the section is the faults'
        }
    }
    return names;
}

TEST(FaultTable, EveryListedFaultParsesAndTheReadmeTablesExactlyThem) {
    std::set<std::string> listed;
    for (const convsim::FaultHelp& fault : convsim::faultTable()) {
        listed.insert(std::string(fault.syntax));
        std::string example = std::regex_replace(std::string(fault.syntax), std::regex("MS"), "100");
        example = std::regex_replace(example, std::regex("N"), "3");
        convsim::Faults faults;
        EXPECT_EQ(convsim::addFault(faults, example), std::nullopt) << example;
        EXPECT_FALSE(fault.help.empty()) << fault.syntax;
    }
    EXPECT_EQ(tabledInReadme(), listed);
}

}  // namespace
