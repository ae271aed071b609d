#include "labels_file_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <unordered_map>
#include <vector>

#include "device/failure.h"
#include "formats/adjacency_csv.h"
#include "formats/sites_csv.h"
#include "formats/volume_file.h"
#include "labelling_check.h"
#include "region_check.h"

namespace cvt::check {
namespace {

std::string describe(int x, int y, int z) {
    char text[48];
    std::snprintf(text, sizeof text, "(%d, %d, %d)", x, y, z);
    return text;
}

LabelsFileVerdict invalid(std::string problem) {
    LabelsFileVerdict verdict;
    verdict.valid = false;
    verdict.problem = std::move(problem);
    return verdict;
}

// Masses are sums of the same floats in another order: equal to many digits, not to the last bit.
bool sameMass(double listed, double counted) { return std::abs(listed - counted) <= 1e-6 * std::abs(counted) + 1e-30; }

// The given spacing, else that of the density file, else that of the labels file, checked.
Spacing spacingUsed(const std::optional<Spacing>& given, const std::optional<formats::VolumeFile>& density,
                    const std::string& densityPath, const formats::VolumeFile& labels, const std::string& labelsPath) {
    const Spacing spacing = given ? *given : density ? density->spacing : labels.spacing;
    if (const auto problem = spacingProblem(spacing))
        throw Failure((given ? std::string("--spacing") : density ? densityPath : labelsPath) + ": " + *problem);
    return spacing;
}

std::string voxelText(size_t i, GridBox box) {
    return describe(int(i % box.x), int(i / box.x % box.y), int(i / (size_t(box.x) * box.y)));
}

// Label 0 exactly where the mask is 0.
std::optional<std::string> maskProblem(const std::vector<uint32_t>& ids, GridBox box, const std::string& maskPath) {
    const formats::VolumeFile mask = formats::readVolume(maskPath);
    if (mask.shape.x != box.x || mask.shape.y != box.y || mask.shape.z != box.z)
        throw Failure(maskPath + ": its shape differs from the labels'");
    std::vector<uint8_t> inside(ids.size());
    formats::markNonZero(mask, inside.data());
    for (size_t i = 0; i < ids.size(); ++i)
        if (bool(inside[i]) != (ids[i] != 0))
            return "voxel " + voxelText(i, box) + (inside[i] ? " lies inside the mask but has label 0"
                                                             : " lies outside the mask but has label " +
                                                                   std::to_string(ids[i]));
    return std::nullopt;
}

}  // namespace

LabelsFileVerdict checkLabelsFile(const std::string& labelsPath, const std::string& sitesPath,
                                  const std::optional<std::string>& densityPath, const std::optional<Spacing>& given,
                                  const std::optional<std::string>& maskPath, const RegionChecks& regions) {
    const formats::VolumeFile labelsFile = formats::readVolume(labelsPath);
    const std::optional<formats::VolumeFile> densityFile =
        densityPath ? std::optional(formats::readVolume(*densityPath)) : std::nullopt;
    const Spacing spacing = spacingUsed(given, densityFile, densityPath.value_or(""), labelsFile, labelsPath);
    const GridBox box{labelsFile.shape.x, labelsFile.shape.y, labelsFile.shape.z};
    const std::vector<uint32_t> ids = formats::labelValues(labelsFile, labelsPath);
    const std::vector<formats::SiteRow> rows = formats::readSitesCsv(sitesPath);

    std::vector<std::array<int, 3>> sites;
    std::set<std::array<int, 3>> seen;
    for (const formats::SiteRow& row : rows) {
        if (row.x >= box.x || row.y >= box.y || row.z >= box.z)
            return invalid("site " + describe(row.x, row.y, row.z) + " lies outside the labels' box");
        if (!seen.insert({row.x, row.y, row.z}).second)
            return invalid("site " + describe(row.x, row.y, row.z) + " is listed twice");
        sites.push_back({row.x, row.y, row.z});
    }

    const uint32_t firstId = !rows.empty() && rows[0].id == 1 ? 1 : 0;
    for (size_t row = 0; row < rows.size(); ++row)
        if (rows[row].id >= 0 && uint64_t(rows[row].id) != firstId + row)
            return invalid("row " + std::to_string(row + 1) + " of the sites has id " + std::to_string(rows[row].id) +
                           ", not " + std::to_string(firstId + row));
    if (maskPath)
        if (const std::optional<std::string> problem = maskProblem(ids, box, *maskPath)) return invalid(*problem);

    // The site codes of the grid the program runs such a box in.
    const GridShape grid = smallestGridHolding(box);
    const SiteLayout layout = grid.codes;
    std::vector<int32_t> codes(ids.size());
    std::vector<uint64_t> voxels(rows.size(), 0);
    for (size_t i = 0; i < ids.size(); ++i) {
        if (firstId == 1 && ids[i] == 0) {
            codes[i] = outsideLabel;
            continue;
        }
        const size_t id = ids[i] - firstId;
        if (id >= rows.size())
            return invalid("voxel " + voxelText(i, box) + " has site id " + std::to_string(ids[i]) +
                           ", but the sites file lists ids " + std::to_string(firstId) + " to " +
                           std::to_string(firstId + rows.size() - 1));
        const std::array<int, 3>& s = sites[id];
        codes[i] = layout.encode(s[0], s[1], s[2]);
        ++voxels[id];
    }
    const AxisWeights weights = labellingWeights(spacing, grid.longestSide());
    uint64_t awayFromNearest = 0;
    if (regions.connected) {
        const std::vector<int32_t> nearestCodes = nearestLabelling(codes, box, sites, weights, layout);
        std::unordered_map<int32_t, uint32_t> idOfCode;
        std::vector<size_t> siteVoxels;
        for (size_t id = 0; id < sites.size(); ++id) {
            idOfCode[layout.encode(sites[id][0], sites[id][1], sites[id][2])] = uint32_t(id + firstId);
            siteVoxels.push_back(size_t(sites[id][0]) + size_t(box.x) * (sites[id][1] + size_t(box.y) * sites[id][2]));
        }
        std::vector<uint32_t> nearest(ids.size(), 0);
        for (size_t i = 0; i < ids.size(); ++i)
            if (nearestCodes[i] != outsideLabel) {
                nearest[i] = idOfCode.at(nearestCodes[i]);
                awayFromNearest += nearest[i] != ids[i];
            }
        if (const auto problem = connectedProblem(ids, nearest, box, firstId, siteVoxels)) return invalid(*problem);
    } else {
        const LabellingVerdict labelling = verifyLabelling(codes, box, sites, weights, layout);
        if (!labelling.exact) return invalid(labelling.problem);
    }
    std::optional<size_t> adjacentPairs;
    if (regions.adjacencyPath) {
        const std::vector<formats::AdjacencyRow> rows = formats::readAdjacencyCsv(*regions.adjacencyPath);
        if (const auto problem = adjacencyProblem(rows, ids, box, spacing))
            return invalid(*regions.adjacencyPath + ": " + *problem);
        adjacentPairs = rows.size();
    }

    // A file without a voxels column reads as zeros; every region has at least its site's voxel.
    const bool countsListed = std::any_of(rows.begin(), rows.end(), [](const formats::SiteRow& r) { return r.voxels > 0; });
    for (size_t id = 0; countsListed && id < rows.size(); ++id)
        if (rows[id].voxels != voxels[id])
            return invalid("site " + std::to_string(id + firstId) + " lists " + std::to_string(rows[id].voxels) +
                           " voxels, the labels give it " + std::to_string(voxels[id]));

    LabelsFileVerdict verdict;
    verdict.siteCount = rows.size();
    verdict.spacing = spacing;
    verdict.awayFromNearest = awayFromNearest;
    verdict.adjacentPairs = adjacentPairs;
    if (!densityFile) return verdict;
    if (densityFile->shape.x != box.x || densityFile->shape.y != box.y || densityFile->shape.z != box.z)
        throw Failure(*densityPath + ": its shape differs from the labels'");
    std::vector<float> density = formats::densityValues(*densityFile, *densityPath);
    std::vector<double> mass(rows.size(), 0.0);
    for (size_t i = 0; i < ids.size(); ++i) {
        if (codes[i] == outsideLabel) density[i] = 0.0f;  // the run's density is zero outside its mask
        else mass[ids[i] - firstId] += density[i];
    }
    for (size_t id = 0; countsListed && id < rows.size(); ++id)
        if (!sameMass(rows[id].mass, mass[id]))
            return invalid("site " + std::to_string(id + firstId) + " lists mass " + std::to_string(rows[id].mass) +
                           ", the labels and the density give " + std::to_string(mass[id]));
    const float maximum = *std::max_element(density.begin(), density.end());
    for (float& value : density) value /= maximum;
    verdict.energy = cvtEnergy(codes, density, box, grid.longestSide(), energyScales(spacing), layout);
    return verdict;
}

}  // namespace cvt::check
