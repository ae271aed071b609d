// The preview picture: borders exactly between voxels of different sites, dots exactly on the sites
// in a slice plane, each slice the right way round, and a PNG file that holds the same pixels.
#include <gtest/gtest.h>
#include <png.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "device/failure.h"
#include "formats/png_file.h"
#include "volume/preview.h"

namespace cvt::volume {
namespace {

using Point = std::array<int, 3>;

struct Volume {
    GridBox box;
    std::vector<float> density;
    std::vector<uint32_t> labels;
    std::vector<Point> sites;

    size_t index(const Point& p) const { return size_t(p[0]) + size_t(box.x) * (p[1] + size_t(box.y) * p[2]); }
    PreviewScene scene(Point at, std::string caption = "energy 1.50   2 sites") const {
        return {box, density.data(), labels.data(), &sites, at, caption};
    }
};

// The voxel shown at (u, v) of a slice: y right and z down in the x slice, x and z in the y slice,
// x and y in the z slice.
Point sliceVoxel(int axis, int u, int v, const Point& at) {
    if (axis == 0) return {at[0], u, v};
    if (axis == 1) return {u, at[1], v};
    return {u, v, at[2]};
}

// Density and borders never paint a grey pixel white, black or coloured: colour means border.
bool coloured(const RgbImage& image, int x, int y) {
    const Rgb c = pixelAt(image, x, y);
    return c.r != c.g || c.g != c.b;
}
bool white(const RgbImage& image, int x, int y) {
    const Rgb c = pixelAt(image, x, y);
    return c.r == 255 && c.g == 255 && c.b == 255;
}

// Two sites; every voxel left of the plane x = 10 belongs to site 0, the rest to site 1.
Volume splitBox() {
    Volume volume{{20, 12, 8}, {}, {}, {{4, 6, 4}, {15, 3, 2}}};
    for (int z = 0; z < 8; ++z)
        for (int y = 0; y < 12; ++y)
            for (int x = 0; x < 20; ++x) {
                volume.density.push_back(float(x + y + z));
                volume.labels.push_back(x < 10 ? 0 : 1);
            }
    return volume;
}

TEST(PreviewPicture, SplitBoxShowsItsBorderAndSitesWhereTheyLie) {
    const Volume volume = splitBox();
    using Dot = std::optional<std::array<int, 2>>;  // the (u, v) of the one site in a slice plane
    const struct {
        Point at;
        std::array<Dot, 3> dots;
    } cases[] = {
        {{10, 6, 2}, {Dot{}, Dot{{4, 4}}, Dot{{15, 3}}}},
        {{4, 3, 4}, {Dot{{6, 4}}, Dot{{15, 2}}, Dot{{4, 6}}}},
        {{15, 0, 7}, {Dot{{3, 2}}, Dot{}, Dot{}}},
    };
    for (const auto& c : cases) {
        const PreviewScene scene = volume.scene(c.at);
        const RgbImage image = renderPreview(scene);
        for (int axis = 0; axis < 3; ++axis) {
            SCOPED_TRACE("at x " + std::to_string(c.at[0]) + " y " + std::to_string(c.at[1]) + ", axis " +
                         std::to_string(axis));
            const SlicePlacement p = slicePlacement(scene, axis);
            ASSERT_EQ(p.columns, axis == 0 ? 12 : 20);
            ASSERT_EQ(p.rows, axis == 2 ? 12 : 8);
            // The plane x = 10 crosses the y and z slices between columns 9 and 10; the x slice is
            // parallel to it and shows one site only.
            const int borderRight = p.left + 10 * p.scale;
            int64_t whiteCount = 0, whiteX = 0, whiteY = 0;
            for (int y = p.top; y < p.top + p.rows * p.scale; ++y)
                for (int x = p.left; x < p.left + p.columns * p.scale; ++x) {
                    const bool onBorder = axis != 0 && (x == borderRight - 1 || x == borderRight);
                    ASSERT_EQ(coloured(image, x, y), onBorder) << "pixel " << x << ", " << y;
                    if (white(image, x, y)) ++whiteCount, whiteX += 2 * x + 1, whiteY += 2 * y + 1;
                }
            ASSERT_EQ(whiteCount > 0, c.dots[axis].has_value());
            if (!c.dots[axis]) continue;
            // A dot is symmetric about the centre of its site's pixel block (in doubled coordinates).
            const auto [u, v] = *c.dots[axis];
            EXPECT_EQ(whiteX, whiteCount * (2 * p.left + (2 * u + 1) * p.scale));
            EXPECT_EQ(whiteY, whiteCount * (2 * p.top + (2 * v + 1) * p.scale));
        }
    }
}

// Nearest of random sites for random boxes, from enlarged to one pixel per voxel: a pixel is a border
// pixel exactly when it lies on the edge of its voxel's block that faces a voxel of another site; and
// away from borders, denser voxels are never darker.
TEST(PreviewPicture, BordersLieExactlyBetweenVoxelsOfDifferentSites) {
    std::mt19937 random(7);
    for (const GridBox box :
         {GridBox{20, 12, 8}, GridBox{13, 29, 17}, GridBox{400, 30, 6}, GridBox{700, 9, 5}, GridBox{1, 5, 3}})
        for (int trial = 0; trial < 3; ++trial) {
            Volume volume{box, {}, {}, {}};
            const auto coordinate = [&](int side) { return std::uniform_int_distribution<int>(0, side - 1)(random); };
            std::vector<Point> sites(std::uniform_int_distribution<int>(2, 12)(random));
            for (Point& s : sites) s = {coordinate(box.x), coordinate(box.y), coordinate(box.z)};
            for (int z = 0; z < box.z; ++z)
                for (int y = 0; y < box.y; ++y)
                    for (int x = 0; x < box.x; ++x) {
                        uint32_t nearest = 0;
                        int64_t best = std::numeric_limits<int64_t>::max();
                        for (uint32_t id = 0; id < sites.size(); ++id) {
                            const int64_t dx = x - sites[id][0], dy = y - sites[id][1], dz = z - sites[id][2];
                            if (dx * dx + dy * dy + dz * dz < best) best = dx * dx + dy * dy + dz * dz, nearest = id;
                        }
                        volume.labels.push_back(nearest);
                        volume.density.push_back(std::uniform_real_distribution<float>(0, 3)(random));
                    }
            // Without sites in the scene no dots cover the borders.
            const PreviewScene scene = volume.scene({coordinate(box.x), coordinate(box.y), coordinate(box.z)});
            const RgbImage image = renderPreview(scene);
            for (int axis = 0; axis < 3; ++axis) {
                const SlicePlacement p = slicePlacement(scene, axis);
                const auto label = [&](int u, int v) {
                    return volume.labels[volume.index(sliceVoxel(axis, u, v, scene.at))];
                };
                std::vector<std::pair<float, int>> greys;
                for (int y = p.top; y < p.top + p.rows * p.scale; ++y)
                    for (int x = p.left; x < p.left + p.columns * p.scale; ++x) {
                        const int u = (x - p.left) / p.scale, v = (y - p.top) / p.scale;
                        const int i = (x - p.left) % p.scale, j = (y - p.top) % p.scale;
                        const uint32_t own = label(u, v);
                        const bool onBorder = (i == 0 && u > 0 && label(u - 1, v) != own) ||
                                              (i == p.scale - 1 && u + 1 < p.columns && label(u + 1, v) != own) ||
                                              (j == 0 && v > 0 && label(u, v - 1) != own) ||
                                              (j == p.scale - 1 && v + 1 < p.rows && label(u, v + 1) != own);
                        ASSERT_EQ(coloured(image, x, y), onBorder) << "box " << box.x << " x " << box.y << " x "
                                                                   << box.z << ", axis " << axis << ", voxel " << u
                                                                   << ", " << v;
                        if (!onBorder)
                            greys.emplace_back(volume.density[volume.index(sliceVoxel(axis, u, v, scene.at))],
                                               pixelAt(image, x, y).r);
                    }
                std::sort(greys.begin(), greys.end());
                for (size_t k = 1; k < greys.size(); ++k) ASSERT_LE(greys[k - 1].second, greys[k].second);
            }
        }
}

TEST(PreviewPicture, UnpaintableDensitiesAreDarkestOrBrightest) {
    Volume volume{{5, 1, 1}, {std::nanf(""), -1.0f, 0.0f, std::numeric_limits<float>::infinity(), 1.0f}, {}, {}};
    volume.labels.assign(5, 0);
    const PreviewScene scene = volume.scene({0, 0, 0});
    const RgbImage image = renderPreview(scene);
    const SlicePlacement p = slicePlacement(scene, 1);
    std::vector<int> greys;
    for (int u = 0; u < 5; ++u) greys.push_back(pixelAt(image, p.left + u * p.scale, p.top).r);
    EXPECT_EQ(greys, (std::vector<int>{greys[0], greys[0], greys[0], greys[3], greys[0]}));
    EXPECT_GT(greys[3], greys[0]);
}

TEST(PreviewPicture, RejectsUnusableScenes) {
    Volume volume = splitBox();
    std::vector<PreviewScene> scenes;
    for (const Point at : {Point{20, 0, 0}, Point{0, 12, 0}, Point{0, 0, 8}, Point{-1, 0, 0}, Point{0, 0, -1}})
        scenes.push_back(volume.scene(at));
    scenes.push_back(volume.scene({0, 0, 0}));
    scenes.back().density = nullptr;
    scenes.push_back(volume.scene({0, 0, 0}));
    scenes.back().labels = nullptr;
    scenes.push_back(volume.scene({0, 0, 0}));
    scenes.back().sites = nullptr;
    scenes.push_back(volume.scene({0, 0, 0}));
    scenes.back().box.y = 0;
    scenes.push_back(volume.scene({0, 0, 0}, std::string(100000, 'a')));
    for (const PreviewScene& scene : scenes) {
        EXPECT_THROW(renderPreview(scene), Failure);
        EXPECT_THROW(slicePlacement(scene, 0), Failure);
    }
    EXPECT_THROW(slicePlacement(volume.scene({0, 0, 0}), 3), Failure);
}

class PreviewPng : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/cvt-preview-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string directory;
};

TEST_F(PreviewPng, DecodesToTheRenderedPicture) {
    const Volume volume = splitBox();
    const PreviewScene scene = volume.scene({4, 3, 4});
    const std::string path = directory + "/preview.png";
    writePreview(path, scene);
    const RgbImage rendered = renderPreview(scene);

    png_image decoded{};
    decoded.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&decoded, path.c_str())) << decoded.message;
    decoded.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(decoded));
    ASSERT_TRUE(png_image_finish_read(&decoded, nullptr, pixels.data(), 0, nullptr)) << decoded.message;
    EXPECT_EQ(int(decoded.width), rendered.width);
    EXPECT_EQ(int(decoded.height), rendered.height);
    EXPECT_TRUE(pixels == rendered.pixels);
    EXPECT_EQ(entries(), std::vector<std::string>{"preview.png"});
}

TEST_F(PreviewPng, FailsOnAnUnwritablePathAndLeavesNoFile) {
    const Volume volume = splitBox();
    std::ofstream(directory + "/plain") << "not a directory";
    for (const std::string& path : {directory + "/missing/p.png", directory + "/plain/p.png", directory})
        EXPECT_THROW(writePreview(path, volume.scene({0, 0, 0})), Failure) << path;
    const uint8_t pixel[3] = {1, 2, 3};
    EXPECT_THROW(formats::writePng(directory + "/empty.png", 0, 1, pixel), Failure);
    EXPECT_EQ(entries(), std::vector<std::string>{"plain"});
}

}  // namespace
}  // namespace cvt::volume
