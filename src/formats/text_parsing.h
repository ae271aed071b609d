// Small helpers of the text formats' parsers (NRRD headers, sites CSV).
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

// ASCII letters only: the names these formats use.
inline std::string lowercase(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; });
    return result;
}

}  // namespace cvt::formats
