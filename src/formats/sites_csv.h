// Sites given by voxel coordinates, as comma-separated text: one row per site.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace cvt::formats {

struct SiteRow {
    int x = 0, y = 0, z = 0;
    double mass = 0;      // when the file has a "mass" column
    uint64_t voxels = 0;  // when the file has a "voxels" column
    uint32_t pieces = 0;  // written only: the region's 6-connected pieces
    std::array<double, 3> centroid{};  // written only: the region's centroid, x first (NaN: no mass)
    int64_t initialIndex = -1;         // written only: the site's place among the initial ones (-1: unknown)
    int64_t id = -1;      // when the file has an "id" column
};

// Reads rows of at least three fields. The first non-blank line is a header when a field of it begins
// with a letter; when the header names columns x, y and z (in any position and letter case), those
// are the coordinates, else the first three columns are, and "id", "mass" and "voxels" columns are read
// when named. Coordinates are non-negative integers; blank lines are ignored. A file of no rows gives none.
// Errors: cvt::Failure "<path>: line N: <problem>".
std::vector<SiteRow> readSitesCsv(const std::string& path);

// Writes the header "id,x,y,z,mass,voxels,pieces,cx,cy,cz,initial_index" and one row per site, id
// counting from firstId, mass and centroid as %.9g (a centroid without mass as nan).
void writeSitesCsv(const std::string& path, const std::vector<SiteRow>& sites, uint32_t firstId = 0);

}  // namespace cvt::formats
