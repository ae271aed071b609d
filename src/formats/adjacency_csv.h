// Which regions touch and how much, as comma-separated text: one row per pair of labels that share a
// voxel face.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cvt::formats {

struct AdjacencyRow {
    uint32_t a = 0, b = 0;  // a < b
    uint64_t faces = 0;     // voxel faces between a voxel of a and one of b
    double area = 0;        // their physical area
};

// Writes the header "a,b,faces,area" and the rows as given, area as %.15g.
void writeAdjacencyCsv(const std::string& path, const std::vector<AdjacencyRow>& rows);

// Reads what writeAdjacencyCsv writes: the header, then rows of four fields. Errors: cvt::Failure
// "<path>: line N: <problem>".
std::vector<AdjacencyRow> readAdjacencyCsv(const std::string& path);

}  // namespace cvt::formats
