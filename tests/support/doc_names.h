#pragma once
// Names a document lists, for tests that hold a table in the code to its documentation.
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace docnames {

// Every first capture of `pattern` in the file `relative` (under QM_SOURCE_DIR) between the first
// `from` and the next `to` after it (or the end); none when `from` is missing.
inline std::set<std::string> inSection(const char* relative, const std::string& from, const std::string& to,
                                       const std::regex& pattern) {
    std::ifstream file(std::string(QM_SOURCE_DIR) + "/" + relative);
    std::stringstream read;
    read << file.rdbuf();
    const std::string text = read.str();
    std::set<std::string> names;
    const std::size_t start = text.find(from);
    if (start == std::string::npos) return names;
    const std::string section = text.substr(start, text.find(to, start + from.size()) - start);
    for (auto it = std::sregex_iterator(section.begin(), section.end(), pattern); it != std::sregex_iterator(); ++it)
        names.insert((*it)[1]);
    return names;
}

}  // namespace docnames
