#pragma once
// Searching a tool run's output for the words it is judged by.
#include <string_view>

namespace quill {

inline bool contains(std::string_view text, std::string_view marker) {
    return text.find(marker) != std::string_view::npos;
}

}  // namespace quill
