// The three labelling kernels one at a time: the column flood against a per-column brute force, the
// chains of the construction pass against an exact test of which candidates are nearest somewhere on
// their line, and the query pass on hand-made chains and, behind the construction pass, against the
// nearest candidate of each line.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "device_test_support.h"
#include "host/site_code.h"
#include "voronoi/chain_entry.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

constexpr int edge = 32;
constexpr int untouched = 0x3BADBEEF;  // prefilled where a kernel must not write

size_t at(int n, int x, int y, int z) { return (size_t(z) * n + y) * n + x; }
size_t cube(int n) { return size_t(n) * n * n; }

std::vector<int> runFloodZ(const std::vector<int>& sites, int n) {
    DeviceArray<int> source(sites), destination(std::vector<int>(sites.size(), untouched));
    LAUNCH_KERNEL(kernelFloodZ<int>, dim3(n / 32, n / 4), dim3(32, 4), 0, source.get(), destination.get(), n);
    return destination.download();
}

// Runs the construction pass on `candidates` over the lines that `grid` covers.
std::vector<int> runMaurer(const std::vector<int>& candidates, int n, dim3 grid) {
    DeviceArray<int> source(candidates), destination(std::vector<int>(candidates.size(), untouched));
    LAUNCH_KERNEL(kernelMaurerAxis<int>, grid, dim3(32, 4), 0, source.get(), destination.get(), n, LineWeights{});
    return destination.download();
}

std::vector<int> runColor(const std::vector<int>& chains, int n, dim3 grid) {
    DeviceArray<int> source(chains), destination(std::vector<int>(chains.size(), untouched));
    LAUNCH_KERNEL(kernelColorAxis<int>, grid, dim3(32, 2), 0, source.get(), destination.get(), n, LineWeights{});
    return destination.download();
}

dim3 allLines(int n) { return dim3(n / 32, n / 4); }
dim3 allTiles(int n) { return dim3(n / 32, n); }

// ---- Column flood ------------------------------------------------------------------------------------

// The nearest site of column (x, y) to height z, the upper one on a tie, by scanning the column.
int nearestInColumn(const std::vector<int>& sites, int n, int x, int y, int z) {
    int best = EMPTY_SITE, bestDistance = INT32_MAX;
    for (int s = 0; s < n; ++s) {
        const int value = sites[at(n, x, y, s)];
        if (value < 0) continue;
        const int d = std::abs(s - z);
        if (d <= bestDistance) best = value, bestDistance = d;
    }
    return best;
}

using FloodZTest = DeviceTest;

TEST_F(FloodZTest, RandomColumnsGetTheNearestSiteOfTheColumn) {
    std::mt19937 random(11);
    for (int round = 0; round < 20; ++round) {
        const double density = std::uniform_real_distribution<double>(0.0, 0.3)(random);
        std::vector<int> sites(cube(edge));
        // Empty voxels hold arbitrary negative values: every negative value means "no site".
        for (int z = 0; z < edge; ++z)
            for (int y = 0; y < edge; ++y)
                for (int x = 0; x < edge; ++x)
                    sites[at(edge, x, y, z)] = std::bernoulli_distribution(density)(random)
                                                   ? encodeSite(x, y, z)
                                                   : std::uniform_int_distribution<int>(INT32_MIN, -1)(random);
        const std::vector<int> result = runFloodZ(sites, edge);
        for (int z = 0; z < edge; ++z)
            for (int y = 0; y < edge; ++y)
                for (int x = 0; x < edge; ++x)
                    ASSERT_EQ(result[at(edge, x, y, z)], nearestInColumn(sites, edge, x, y, z))
                        << "round " << round << " voxel " << x << "," << y << "," << z;
    }
}

TEST_F(FloodZTest, ColumnEdgeCases) {
    std::vector<int> sites(cube(edge), EMPTY_SITE);
    sites[at(edge, 1, 0, 0)] = -7;  // column (1, 0): negative values only
    sites[at(edge, 2, 0, 9)] = encodeSite(2, 0, 9);  // column (2, 0): one site
    sites[at(edge, 3, 0, 2)] = encodeSite(3, 0, 2);  // column (3, 0): sites at 2 and 6
    sites[at(edge, 3, 0, 6)] = encodeSite(3, 0, 6);
    sites[at(edge, 0, 0, 0)] = 0;                     // column (0, 0): the site at the origin
    sites[at(edge, 4, 1, edge - 1)] = encodeSite(4, 1, edge - 1);  // column (4, 1): site on top
    const std::vector<int> result = runFloodZ(sites, edge);
    for (int z = 0; z < edge; ++z) {
        EXPECT_EQ(result[at(edge, 1, 0, z)], EMPTY_SITE) << z;
        EXPECT_EQ(result[at(edge, 5, 3, z)], EMPTY_SITE) << z;
        EXPECT_EQ(result[at(edge, 2, 0, z)], encodeSite(2, 0, 9)) << z;
        EXPECT_EQ(result[at(edge, 3, 0, z)], encodeSite(3, 0, z <= 3 ? 2 : 6)) << z;
        EXPECT_EQ(result[at(edge, 0, 0, z)], 0) << z;
        EXPECT_EQ(result[at(edge, 4, 1, z)], encodeSite(4, 1, edge - 1)) << z;
    }
}

// ---- Construction pass -------------------------------------------------------------------------------

struct ChainLink {
    int row;
    int entry;
};

// The entries reachable from the head of line (i, j), top first, checking the chain's shape: rows
// strictly decreasing, links matching the next row, the bottom entry unlinked with link 0.
std::vector<ChainLink> followChain(const std::vector<int>& chains, int n, int i, int j) {
    std::vector<ChainLink> chain;
    const int head = chains[at(n, i, n - 1, j)];
    int row = n - 1, entry = head;
    if (head < 0) {
        EXPECT_EQ(head & ~(chainEndBit<int> | chainLinkedBit<int> | (coordinateMask << 10)), 0) << "end marker of " << i << "," << j;
        if (!chainLinked(head)) {
            EXPECT_EQ(head, EMPTY_SITE) << "empty line " << i << "," << j;
            return chain;
        }
        row = chainLink(head, SiteLayout{});
        entry = chains[at(n, i, row, j)];
    }
    for (;;) {
        chain.push_back({row, entry});
        EXPECT_GE(entry, 0);
        if (!chainLinked(entry)) {
            EXPECT_EQ(chainLink(entry, SiteLayout{}), 0) << "bottom entry of " << i << "," << j;
            return chain;
        }
        const int below = chainLink(entry, SiteLayout{});
        if (below >= row) {
            ADD_FAILURE() << "link does not go down on line " << i << "," << j << " row " << row;
            return chain;
        }
        row = below;
        entry = chains[at(n, i, row, j)];
    }
}

struct Candidate {
    int row;
    int64_t h;  // squared distance to the line
};

// Whether candidate b is, at some real position y of the line, at least as near as every other:
// b's distance minus o's is linear in y, so each other candidate bounds y from one side and b is
// kept exactly when the tightest lower bound does not exceed the tightest upper bound.
bool nearestSomewhere(const std::vector<Candidate>& line, size_t b) {
    // Bounds as fractions num / den with den > 0; start unbounded.
    int64_t lowNum = -1, lowDen = 0, highNum = 1, highDen = 0;
    const int64_t fb = int64_t(line[b].row) * line[b].row + line[b].h;
    for (size_t o = 0; o < line.size(); ++o) {
        if (o == b) continue;
        const int64_t fo = int64_t(line[o].row) * line[o].row + line[o].h;
        const int64_t num = fb - fo, den = 2 * int64_t(line[b].row - line[o].row);
        if (den > 0) {  // o lies below: y >= num / den
            if (lowDen == 0 || num * lowDen > lowNum * den) lowNum = num, lowDen = den;
        } else {  // o lies above: y <= num / den, with the sign moved to the numerator
            if (highDen == 0 || -num * highDen < highNum * -den) highNum = -num, highDen = -den;
        }
    }
    return lowDen == 0 || highDen == 0 || lowNum * highDen <= highNum * lowDen;
}

// A candidate volume: each voxel (i, k, j) holds, with probability `density`, a code whose row field
// is k and whose other fields are random in [0, fieldRange), or a negative value.
std::vector<int> randomCandidates(std::mt19937& random, int n, double density, int fieldRange) {
    std::uniform_int_distribution<int> field(0, fieldRange - 1);
    std::vector<int> candidates(cube(n));
    for (int j = 0; j < n; ++j)
        for (int k = 0; k < n; ++k)
            for (int i = 0; i < n; ++i)
                candidates[at(n, i, k, j)] =
                    std::bernoulli_distribution(density)(random) ? encodeSite(field(random), k, field(random)) : -1 - k;
    return candidates;
}

void expectChainsKeepExactlyTheNearestCandidates(const std::vector<int>& candidates, int n, int lines) {
    const std::vector<int> chains = runMaurer(candidates, n, allLines(n));
    for (int j = 0; j < lines; ++j)
        for (int i = 0; i < lines; ++i) {
            std::vector<Candidate> line;
            for (int k = 0; k < n; ++k) {
                const int c = candidates[at(n, i, k, j)];
                if (c < 0) continue;
                const int64_t dx = siteX(c) - i, dz = siteZ(c) - j;
                line.push_back({k, dx * dx + dz * dz});
            }
            std::vector<int> expectedRows;
            for (size_t b = line.size(); b-- > 0;)
                if (nearestSomewhere(line, b)) expectedRows.push_back(line[b].row);
            std::vector<int> chainRows;
            for (const ChainLink& link : followChain(chains, n, i, j)) {
                chainRows.push_back(link.row);
                const int c = candidates[at(n, i, link.row, j)];
                EXPECT_EQ(siteX(link.entry), siteX(c));
                EXPECT_EQ(siteZ(link.entry), siteZ(c));
            }
            ASSERT_EQ(chainRows, expectedRows) << "line " << i << "," << j;
        }
}

using MaurerAxisTest = DeviceTest;

TEST_F(MaurerAxisTest, ChainsHoldExactlyTheCandidatesNearestSomewhere) {
    std::mt19937 random(5);
    for (int round = 0; round < 12; ++round) {
        // Narrow field ranges give many equal distances, wide ones many removals.
        const int fieldRange = round % 3 == 0 ? 4 : round % 3 == 1 ? edge : 1024;
        const double density = round < 6 ? 0.2 : 0.9;
        expectChainsKeepExactlyTheNearestCandidates(randomCandidates(random, edge, density, fieldRange), edge, edge);
    }
}

// Sets one candidate of line (i, j) at `row` whose squared distance to the line is dx^2.
void placeCandidate(std::vector<int>& candidates, int n, int i, int j, int row, int dx) {
    candidates[at(n, i, row, j)] = encodeSite(i + dx, row, j);
}

TEST_F(MaurerAxisTest, LineEdgeCases) {
    const int n = edge;
    std::vector<int> candidates(cube(n), EMPTY_SITE);
    placeCandidate(candidates, n, 1, 0, 7, 0);      // line (1, 0): one candidate at row 7
    placeCandidate(candidates, n, 2, 0, 3, 2);      // line (2, 0): a candidate at the top row
    placeCandidate(candidates, n, 2, 0, n - 1, 0);
    placeCandidate(candidates, n, 3, 1, 0, 0);      // line (3, 1): h = 0, 100, 0 at rows 0, 1, 2
    placeCandidate(candidates, n, 3, 1, 1, 10);
    placeCandidate(candidates, n, 3, 1, 2, 0);
    placeCandidate(candidates, n, 4, 1, 0, 0);      // line (4, 1): h = 0, 4, 0 at rows 0, 2, 4
    placeCandidate(candidates, n, 4, 1, 2, 2);
    placeCandidate(candidates, n, 4, 1, 4, 0);
    for (int k = 0; k < n; ++k) placeCandidate(candidates, n, 5, 2, k, 0);  // line (5, 2): full of sites
    const std::vector<int> chains = runMaurer(candidates, n, allLines(n));

    // Line (0, 0) has no candidate: only its head is written.
    for (int k = 0; k < n - 1; ++k) EXPECT_EQ(chains[at(n, 0, k, 0)], untouched) << k;
    EXPECT_EQ(chains[at(n, 0, n - 1, 0)], EMPTY_SITE);

    EXPECT_EQ(chains[at(n, 1, 7, 0)], (1 << 20) + 0);
    EXPECT_EQ(chains[at(n, 1, n - 1, 0)], int(0xC0000000u | (7u << 10)));

    EXPECT_EQ(chains[at(n, 2, n - 1, 0)], chainLinkedBit<int> | (2 << 20) | (3 << 10));
    EXPECT_EQ(chains[at(n, 2, 3, 0)], 4 << 20);

    // P = 101 > Q = -97: the middle candidate is removed, row 2 links to row 0, row 1 keeps a stale entry.
    EXPECT_EQ(chains[at(n, 3, 2, 1)], chainLinkedBit<int> | (3 << 20) | (0 << 10) | 1);
    EXPECT_EQ(chains[at(n, 3, 1, 1)], chainLinkedBit<int> | (13 << 20) | (0 << 10) | 1);

    // P = Q = 8: the middle candidate is nearest at one point only, and stays.
    EXPECT_EQ(chains[at(n, 4, 4, 1)], chainLinkedBit<int> | (4 << 20) | (2 << 10) | 1);
    EXPECT_EQ(chains[at(n, 4, 2, 1)], chainLinkedBit<int> | (6 << 20) | (0 << 10) | 1);

    EXPECT_EQ(chains[at(n, 5, 0, 2)], (5 << 20) | 2);
    for (int k = 1; k < n; ++k) EXPECT_EQ(chains[at(n, 5, k, 2)], chainLinkedBit<int> | (5 << 20) | ((k - 1) << 10) | 2) << k;
}

// ---- Query pass --------------------------------------------------------------------------------------

// The code the query pass must write for row y of line (i, j): the nearest candidate of the line with
// the row as second coordinate, the smallest row on a tie, first two fields exchanged.
int nearestOnLine(const std::vector<int>& candidates, int n, int i, int j, int y) {
    int best = EMPTY_SITE;
    int64_t bestDistance = INT64_MAX;
    for (int k = 0; k < n; ++k) {
        const int c = candidates[at(n, i, k, j)];
        if (c < 0) continue;
        const int64_t dx = siteX(c) - i, dy = k - y, dz = siteZ(c) - j;
        const int64_t d = dx * dx + dy * dy + dz * dz;
        if (d < bestDistance) best = encodeSite(k, siteX(c), siteZ(c)), bestDistance = d;
    }
    return best;
}

void expectPairLabelsLines(const std::vector<int>& candidates, int n, int lines, int planes) {
    const std::vector<int> chains = runMaurer(candidates, n, dim3(lines / 32, planes / 4));
    const std::vector<int> labels = runColor(chains, n, dim3(lines / 32, planes));
    for (int j = 0; j < planes; ++j)
        for (int i = 0; i < lines; ++i)
            for (int y = 0; y < n; ++y)
                ASSERT_EQ(labels[at(n, y, i, j)], nearestOnLine(candidates, n, i, j, y))
                    << "line " << i << "," << j << " row " << y;
}

using ColorAxisTest = DeviceTest;

TEST_F(ColorAxisTest, AfterTheConstructionPassEveryRowGetsTheNearestCandidate) {
    std::mt19937 random(17);
    for (int round = 0; round < 10; ++round) {
        const int fieldRange = round % 2 == 0 ? 6 : edge;
        const double density = round < 5 ? 0.1 : 0.7;
        expectPairLabelsLines(randomCandidates(random, edge, density, fieldRange), edge, edge, edge);
    }
    expectPairLabelsLines(randomCandidates(random, 64, 0.05, 64), 64, 64, 64);
}

// At the largest edge the 10-bit fields and links are used in full and the distances are largest; the
// launches cover only the first 32 x 4 lines, which is all the kernels then touch.
TEST_F(ColorAxisTest, WidestGridKeepsExactDistances) {
    const int n = 1024;
    std::mt19937 random(23);
    std::vector<int> candidates(size_t(n) * n * 4, EMPTY_SITE);
    std::uniform_int_distribution<int> extreme(0, 1);
    for (int j = 0; j < 4; ++j)
        for (int k = 0; k < n; ++k)
            for (int i = 0; i < 32; ++i)
                if (std::bernoulli_distribution(0.02)(random) || k == 0 || k == n - 2)
                    candidates[i + size_t(n) * k + size_t(n) * n * j] =
                        encodeSite(extreme(random) * 1023, k, extreme(random) * 1023);
    const std::vector<int> chains = runMaurer(candidates, n, dim3(1, 1));
    const std::vector<int> labels = runColor(chains, n, dim3(1, 4));
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 32; ++i) {
            std::vector<int> rows;
            for (int k = 0; k < n; ++k)
                if (candidates[i + size_t(n) * k + size_t(n) * n * j] >= 0) rows.push_back(k);
            for (int y = 0; y < n; ++y) {
                int best = EMPTY_SITE;
                int64_t bestDistance = INT64_MAX;
                for (int k : rows) {
                    const int c = candidates[i + size_t(n) * k + size_t(n) * n * j];
                    const int64_t dx = siteX(c) - i, dy = k - y, dz = siteZ(c) - j;
                    const int64_t d = dx * dx + dy * dy + dz * dz;
                    if (d < bestDistance) best = encodeSite(k, siteX(c), siteZ(c)), bestDistance = d;
                }
                ASSERT_EQ(labels[y + size_t(n) * i + size_t(n) * n * j], best) << i << "," << j << " row " << y;
            }
        }
}

// A chain written by hand on line (i, j): entries (row, sx, sz) from the bottom up, with stale values
// everywhere else on the line to show that only the chain is read.
void writeChain(std::vector<int>& chains, int n, int i, int j, const std::vector<std::array<int, 3>>& entries,
                std::mt19937& random) {
    for (int k = 0; k < n; ++k) chains[at(n, i, k, j)] = int(random());
    int topRow = 0;
    bool linked = false;
    for (const auto& [row, sx, sz] : entries) {
        chains[at(n, i, row, j)] = chainEntry(encodeSite(sx, 0, sz), linked, topRow, SiteLayout{});
        topRow = row;
        linked = true;
    }
    if (entries.empty() || entries.back()[0] != n - 1) chains[at(n, i, n - 1, j)] = chainEndMarker<int>(linked, topRow, SiteLayout{});
}

TEST_F(ColorAxisTest, HandMadeChains) {
    const int n = edge;
    std::mt19937 random(3);
    std::vector<int> chains(cube(n));
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) writeChain(chains, n, i, j, {}, random);
    writeChain(chains, n, 1, 0, {{9, 4, 5}}, random);                          // a single entry
    writeChain(chains, n, 2, 0, {{5, 2, 0}, {n - 1, 2, 0}}, random);            // head is an entry
    writeChain(chains, n, 3, 0, {{0, 3, 0}, {2, 5, 0}, {4, 3, 0}}, random);     // h = 0, 4, 0
    writeChain(chains, n, 4, 0, {{2, 4, 1}, {6, 4, 1}}, random);                // equal h
    writeChain(chains, n, 3, 7, {{12, 3, 9}}, random);
    const std::vector<int> labels = runColor(chains, n, allTiles(n));
    for (int y = 0; y < n; ++y) {
        EXPECT_EQ(labels[at(n, y, 0, 0)], EMPTY_SITE) << y;
        EXPECT_EQ(labels[at(n, y, 1, 0)], encodeSite(9, 4, 5)) << y;
        EXPECT_EQ(labels[at(n, y, 2, 0)], encodeSite(y <= 18 ? 5 : n - 1, 2, 0)) << y;
        EXPECT_EQ(labels[at(n, y, 4, 0)], encodeSite(y <= 4 ? 2 : 6, 4, 1)) << y;
        EXPECT_EQ(labels[at(n, y, 3, 7)], 12 * (1 << 20) + 3 * (1 << 10) + 9) << y;
    }
    // At row 2 all three entries are at squared distance 4; the lowest row wins. Row 3 is c's.
    EXPECT_EQ(labels[at(n, 2, 3, 0)], encodeSite(0, 3, 0));
    EXPECT_EQ(labels[at(n, 3, 3, 0)], encodeSite(4, 3, 0));
}

}  // namespace
CVT_END_NAMESPACE
