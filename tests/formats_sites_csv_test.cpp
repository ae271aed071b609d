// Sites CSV: what the writer writes reads back; headers in any column order; rows refused by line.
#include <gtest/gtest.h>

#include <random>

#include "formats/sites_csv.h"
#include "formats_test_files.h"

namespace cvt::formats {
namespace {

using namespace testing;

TEST(SitesCsvTest, WrittenSitesReadBack) {
    const ScratchDirectory directory;
    std::mt19937 random(3);
    std::vector<SiteRow> sites(500);
    for (SiteRow& site : sites)
        site = {int(random() % 1024), int(random() % 1024), int(random() % 1024),
                double(std::uniform_real_distribution<float>(0, 1e6f)(random)), random() * uint64_t(random())};
    writeSitesCsv(directory.path("s.csv"), sites);
    const std::vector<SiteRow> read = readSitesCsv(directory.path("s.csv"));
    ASSERT_EQ(read.size(), sites.size());
    // %.9g keeps a float's value exactly; masses are sums of float densities.
    for (size_t i = 0; i < sites.size(); ++i)
        EXPECT_EQ(std::tie(read[i].x, read[i].y, read[i].z, read[i].voxels),
                  std::tie(sites[i].x, sites[i].y, sites[i].z, sites[i].voxels));
    for (size_t i = 0; i < sites.size(); ++i) EXPECT_EQ(float(read[i].mass), float(sites[i].mass));
    writeSitesCsv(directory.path("s.csv"), {{1, 2, 3, 0.1, 7}});
    EXPECT_EQ(readSitesCsv(directory.path("s.csv"))[0].mass, 0.1);  // 0.100000000
}

TEST(SitesCsvTest, ReadsColumnsByHeaderOrPosition) {
    const ScratchDirectory directory;
    const struct {
        std::string text;
        std::vector<std::array<double, 5>> rows;  // x, y, z, mass, voxels
    } cases[] = {
        {"1,2,3\n4,5,6\n", {{1, 2, 3, 0, 0}, {4, 5, 6, 0, 0}}},
        {"1, 2, 3, 9.5, 10\n", {{1, 2, 3, 0, 0}}},
        {"x,y,z\n1,2,3\n", {{1, 2, 3, 0, 0}}},
        {"\n\r\n Z ,Mass,y,X,voxels\r\n3,0.5,2,1,8\r\n\n", {{1, 2, 3, 0.5, 8}}},
        {"\"id\",\"x\",\"y\",\"z\"\n0,7,8,9\n", {{7, 8, 9, 0, 0}}},
        {"a,b,c\n1,2,3\n", {{1, 2, 3, 0, 0}}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::vector<SiteRow> read = readSitesCsv(directory.write("s.csv", c.text));
        ASSERT_EQ(read.size(), c.rows.size());
        for (size_t i = 0; i < read.size(); ++i)
            EXPECT_EQ((std::array<double, 5>{double(read[i].x), double(read[i].y), double(read[i].z), read[i].mass,
                                             double(read[i].voxels)}),
                      c.rows[i]);
    }
}

TEST(SitesCsvTest, RefusesMalformedRowsByLine) {
    const ScratchDirectory directory;
    const std::pair<std::string, std::string> cases[] = {
        {"1,2\n", "line 1: 2 fields, expected at least 3"},
        {"x,y,z\n1,2,3\n\n1.5,2,3\n", "line 4: x '1.5' is not an integer"},
        {"1,-2,3\n", "line 1: y -2 is negative"},
        {"1,2,\n", "line 1: z '' is not an integer"},
        {"1,2,99999999999\n", "line 1: z '99999999999' is not an integer"},
        {"id,x,y,z,mass,voxels\n0,1,2,3,abc,4\n", "line 2: mass 'abc' is not a number"},
        {"id,x,y,z,mass,voxels\n0,1,2,3,inf,4\n", "line 2: mass is not finite"},
        {"id,x,y,z,mass,voxels\n0,1,2,3,4,-4\n", "line 2: voxels '-4' is not a count"},
        {"id,x,y,z,mass,voxels\n0,1,2,3\n", "line 2: 4 fields, expected at least 6"},
    };
    for (const auto& [text, expected] : cases) {
        const std::string path = directory.write("s.csv", text);
        EXPECT_EQ(failureOf([&] { readSitesCsv(path); }), path + ": " + expected);
    }
    EXPECT_EQ(failureOf([&] { readSitesCsv(directory.path("none.csv")); }),
              directory.path("none.csv") + ": cannot open: No such file or directory");
}

}  // namespace
}  // namespace cvt::formats
