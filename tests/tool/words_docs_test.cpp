// The one table of command words: docs/glossary.md and tavik's manual page name exactly its words,
// so a word added, renamed or dropped in one place alone fails here.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "conv/commands.h"

namespace {

std::string fileText(const char* relative) {
    std::ifstream file(std::string(QM_SOURCE_DIR) + "/" + relative);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Every first capture of `pattern` in `text` from `from` on.
std::set<std::string> found(const std::string& text, std::size_t from, const std::regex& pattern) {
    std::set<std::string> names;
    const std::string rest = from == std::string::npos ? std::string() : text.substr(from);
    for (auto it = std::sregex_iterator(rest.begin(), rest.end(), pattern); it != std::sregex_iterator(); ++it)
        names.insert((*it)[1]);
    return names;
}

TEST(CommandWords, TheGlossaryAndTheManualPageNameExactlyTheTablesWords) {
    std::set<std::string> table;
    for (const conv::command::Word& w : conv::command::kWords) table.insert(std::string(w.word));
    const std::string glossary = fileText("docs/glossary.md");
    EXPECT_EQ(found(glossary, glossary.find("## Command words"), std::regex(R"(\n\| `([a-z]+)` \|)")), table);
    const std::string manual = fileText("packaging/man/tavik.1");
    const std::size_t words = manual.find(".SH WORDS"), next = manual.find(".SH", words + 1);
    EXPECT_EQ(found(manual.substr(0, next), words, std::regex(R"(\.B ([a-z]+)\n)")), table);
}

}  // namespace
