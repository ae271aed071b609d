// cvt-check's check of cvt-volume's files: exact files pass with the program's energy, and every kind
// of wrong label, count, mass or site is caught.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "check/labelling_check.h"
#include "check/labels_file_check.h"
#include "formats/sites_csv.h"
#include "formats/volume_file.h"
#include "reference_labelling.h"

namespace cvt::check {
namespace {

// A labels file of ids and its sites file, as cvt-volume writes them, in a directory of their own.
class LabelsFileCheck : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/cvt-check-XXXXXX";
        directory_ = mkdtemp(pattern);
    }
    void TearDown() override {
        for (const char* name : {"labels.npy", "sites.csv", "density.npy"}) std::remove((directory_ + "/" + name).c_str());
        rmdir(directory_.c_str());
    }
    // Writes the files of the exact labelling of `sites` in `box` (ids in list order) with density 1.5,
    // after `spoil` has had its way with the ids and the rows.
    template <class Spoil>
    LabelsFileVerdict check(const std::vector<Site>& sites, GridBox box, Spoil spoil) {
        const int edge = std::max({box.x, box.y, box.z});
        const std::vector<int32_t> cube = bruteForceLabelling(sites, edge);
        std::vector<uint16_t> ids;
        std::vector<formats::SiteRow> rows;
        for (const Site& s : sites) rows.push_back({s.x, s.y, s.z, 0.0, 0});
        for (int z = 0; z < box.z; ++z)
            for (int y = 0; y < box.y; ++y)
                for (int x = 0; x < box.x; ++x) {
                    const int32_t code = cube[(size_t(z) * edge + y) * edge + x];
                    for (size_t id = 0; id < sites.size(); ++id)
                        if (reference::encode(sites[id].x, sites[id].y, sites[id].z) == code) {
                            ids.push_back(uint16_t(id));
                            rows[id].mass += 1.5;
                            ++rows[id].voxels;
                        }
                }
        spoil(ids, rows);
        const formats::VolumeShape shape{box.x, box.y, box.z};
        formats::writeNpy(path("labels.npy"), ids.data(), formats::SampleType::uint16, shape, false);
        formats::writeSitesCsv(path("sites.csv"), rows);
        const std::vector<float> density(ids.size(), 1.5f);
        formats::writeNpy(path("density.npy"), density.data(), formats::SampleType::float32, shape, false);
        return checkLabelsFile(path("labels.npy"), path("sites.csv"), path("density.npy"));
    }
    std::string path(const char* name) const { return directory_ + "/" + name; }

private:
    std::string directory_;
};

TEST_F(LabelsFileCheck, AcceptsExactFilesAndGivesTheProgramsEnergy) {
    const std::vector<Site> sites = {{3, 1, 2}, {17, 5, 9}, {30, 0, 0}};
    const LabelsFileVerdict verdict = check(sites, GridBox{33, 6, 10}, [](auto&, auto&) {});
    ASSERT_TRUE(verdict.valid) << verdict.problem;
    EXPECT_EQ(verdict.siteCount, 3u);
    ASSERT_TRUE(verdict.energy);
    // The box runs in a 64 x 32 x 12 grid: distances are scaled by 2 / 64 (its longest side), the density
    // divided by its maximum.
    std::vector<int32_t> codes;
    const std::vector<int32_t> cube = bruteForceLabelling(sites, 33);
    for (int z = 0; z < 10; ++z)
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 33; ++x) codes.push_back(cube[(size_t(z) * 33 + y) * 33 + x]);
    EXPECT_DOUBLE_EQ(*verdict.energy, cvtEnergy(codes, std::vector<float>(codes.size(), 1.0f), GridBox{33, 6, 10}, 64));
}

TEST_F(LabelsFileCheck, CatchesWrongLabelsCountsMassesAndSites) {
    const std::vector<Site> sites = {{3, 1, 2}, {17, 5, 9}, {30, 0, 0}};
    const GridBox box{33, 6, 10};
    struct Case {
        const char* what;
        void (*spoil)(std::vector<uint16_t>&, std::vector<formats::SiteRow>&);
    };
    for (const Case& c : {Case{"a voxel given to a farther site", [](auto& ids, auto&) { ids[0] = 2; }},
                          Case{"an id beyond the sites", [](auto& ids, auto&) { ids[5] = 3; }},
                          Case{"a voxel count", [](auto&, auto& rows) { ++rows[1].voxels; }},
                          Case{"a mass", [](auto&, auto& rows) { rows[2].mass *= 1.001; }},
                          Case{"a site outside the box", [](auto&, auto& rows) { rows[2].y = 6; }},
                          Case{"a site listed twice", [](auto&, auto& rows) { rows.push_back(rows[0]); }}})
        EXPECT_FALSE(check(sites, box, c.spoil).valid) << c.what;
}

}  // namespace
}  // namespace cvt::check
