#include "adjacency_csv.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "atomic_file.h"
#include "text_parsing.h"
#include "volume_reading.h"

namespace cvt::formats {
namespace {

constexpr std::string_view header = "a,b,faces,area";

template <class Number>
Number parsed(std::string_view field, const std::string& path, size_t line, const char* name) {
    Number value{};
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (field.empty() || error != std::errc() || end != field.data() + field.size())
        failAt(path, "line " + std::to_string(line) + ": " + name + " '" + std::string(field.substr(0, 40)) +
                         "' is not a number of its kind");
    return value;
}

}  // namespace

void writeAdjacencyCsv(const std::string& path, const std::vector<AdjacencyRow>& rows) {
    std::string text = std::string(header) + "\n";
    char line[128];
    for (const AdjacencyRow& row : rows)
        text.append(line, size_t(std::snprintf(line, sizeof line, "%u,%u,%" PRIu64 ",%.15g\n", row.a, row.b, row.faces,
                                               row.area)));
    AtomicFile file(path);
    file.write(text);
    file.commit();
}

std::vector<AdjacencyRow> readAdjacencyCsv(const std::string& path) {
    const InputFile file(path);
    std::string text(file.size(), '\0');
    file.read(0, text.data(), text.size());
    std::vector<AdjacencyRow> rows;
    const size_t lines = forEachLine(text, [&](size_t lineNumber, std::string_view line) {
        if (lineNumber == 1) {
            if (line != header) failAt(path, "line 1: expected the header " + std::string(header));
            return;
        }
        if (line.empty()) return;
        std::string_view fields[4];
        std::string_view rest = line;
        for (int f = 0; f < 4; ++f) {
            const size_t comma = rest.find(',');
            if ((comma == std::string_view::npos) != (f == 3))
                failAt(path, "line " + std::to_string(lineNumber) + ": expected four fields a,b,faces,area");
            fields[f] = trimmed(rest.substr(0, comma));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        }
        AdjacencyRow row;
        row.a = parsed<uint32_t>(fields[0], path, lineNumber, "a");
        row.b = parsed<uint32_t>(fields[1], path, lineNumber, "b");
        row.faces = parsed<uint64_t>(fields[2], path, lineNumber, "faces");
        row.area = parsed<double>(fields[3], path, lineNumber, "area");
        if (!std::isfinite(row.area)) failAt(path, "line " + std::to_string(lineNumber) + ": area is not finite");
        rows.push_back(row);
    });
    if (lines == 0) failAt(path, "empty; expected the header " + std::string(header));
    return rows;
}

}  // namespace cvt::formats
