// The one table of faults: every fault it lists is taken by the parser, and emulator/README.md
// tables exactly these faults, so a fault added to one place alone fails here.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "doc_names.h"
#include "faults.h"

namespace {

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
    EXPECT_EQ(docnames::inSection("emulator/README.md", "\n## Faults", "\n## ", std::regex(R"(\n\| `([^`]+)` \| )")),
              listed);
}

}  // namespace
