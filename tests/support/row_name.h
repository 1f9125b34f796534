#pragma once
// Names for the rows of parameterised tests, so that ctest lists each row by what it is about:
// "tmpa.hex a FIFO" becomes TmpaHexAFIFO.
#include <cctype>
#include <ostream>
#include <string>
#include <string_view>

namespace rowname {

// The words' letters and digits, each word capitalised; everything else separates words.
inline std::string camel(std::string_view words) {
    std::string name;
    bool wordStart = true;
    for (const char c : words) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u)) name += wordStart ? static_cast<char>(std::toupper(u)) : c;
        wordStart = !std::isalnum(u);
    }
    return name;
}

// A table's row begins with its name, which is also how gtest prints the row (ctest -N shows it).
struct Row {
    const char* name;
};
inline std::ostream& operator<<(std::ostream& os, const Row& row) { return os << row.name; }

// The name generator of INSTANTIATE_TEST_SUITE_P for rows.
struct ByName {
    template <typename Info>
    std::string operator()(const Info& info) const {
        return camel(info.param.name);
    }
};

}  // namespace rowname
