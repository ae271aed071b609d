// Small helpers of the text formats' parsers (NRRD headers, sites and adjacency CSV).
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace cvt::formats {

inline std::string_view trimmed(std::string_view text) {
    const size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string_view::npos) return {};
    return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

// Calls visit(number, line) for every line of `text`, numbered from 1 and trimmed as above; returns how
// many lines there were.
template <class Visit>
size_t forEachLine(std::string_view text, Visit&& visit) {
    size_t number = 0;
    for (size_t next = 0; next < text.size();) {
        const size_t end = std::min(text.find('\n', next), text.size());
        visit(++number, trimmed(text.substr(next, end - next)));
        next = end + 1;
    }
    return number;
}

// ASCII letters only: the names these formats use.
inline std::string lowercase(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; });
    return result;
}

}  // namespace cvt::formats
