// The one table of command words: docs/glossary.md and tavik's manual page name exactly its words,
// so a word added, renamed or dropped in one place alone fails here.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "conv/commands.h"
#include "doc_names.h"

namespace {

TEST(CommandWords, TheGlossaryAndTheManualPageNameExactlyTheTablesWords) {
    std::set<std::string> table;
    for (const conv::command::Word& w : conv::command::kWords) table.insert(std::string(w.word));
    EXPECT_EQ(docnames::inSection("docs/glossary.md", "## Command words", "\n## ", std::regex(R"(\n\| `([a-z]+)` \|)")),
              table);
    EXPECT_EQ(docnames::inSection("packaging/man/tavik.1", ".SH WORDS", ".SH", std::regex(R"(\.B ([a-z]+)\n)")), table);
}

}  // namespace
