#include "slab_driver.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <unordered_set>

#include "../centroid/centroid.h"
#include "../centroid/site_move.h"
#include "../centroid/site_sums.h"
#include "../device/device_array.h"
#include "../host/seeding.h"
#include "../host/weighted_sample.h"
#include "../voronoi/slab_sites.h"
#include "../voronoi/voronoi.h"
#include "cvt_driver.h"
#include "energy.h"

CVT_BEGIN_NAMESPACE

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::vector<int32_t> sortedUnique(std::vector<int32_t> codes) {
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    return codes;
}

// The draw of placement by density on the whole box: each rank keeps the largest keys of its own
// voxels, counted in the box's order, and every rank picks the same ones from all of them.
std::vector<int32_t> sitesByDensity(const SlabCvtRequest& request) {
    const GridBox box = request.box;
    const size_t planeVoxels = size_t(box.x) * box.y, voxels = planeVoxels * request.slab.planes();
    std::vector<float> weights(voxels);
    for (size_t i = 0; i < voxels; ++i) weights[i] = request.density[i] / request.densityDivisor;
    const std::vector<KeyedItem> mine = largestKeys(weights.data(), voxels, size_t(request.siteCount),
                                                    request.placement.seed, planeVoxels * request.slab.begin);
    const std::vector<size_t> drawn =
        drawnIndices(request.ranks->gatherAll(mine), size_t(request.siteCount));
    if (drawn.size() < size_t(request.siteCount))
        throw Failure("cannot place " + std::to_string(request.siteCount) + " sites by density: only " +
                      std::to_string(drawn.size()) + " voxels have a positive density");
    std::vector<int32_t> codes;
    for (const size_t index : drawn)
        codes.push_back(request.grid.codes.encode(int(index % box.x), int(index / box.x % box.y),
                                                  int(index / planeVoxels)));
    return codes;
}

// The initial sites, as placeSites places them on the full grid.
std::vector<int32_t> initialSites(const SlabCvtRequest& request) {
    const SiteLayout codes = request.grid.codes;
    switch (request.placement.kind) {
    case SitePlacement::Kind::density: return sortedUnique(sitesByDensity(request));
    case SitePlacement::Kind::given: {
        std::vector<int32_t> given;
        for (const std::array<int, 3>& site : request.placement.sites) {
            const auto [x, y, z] = site;
            if (x < 0 || y < 0 || z < 0 || x >= request.box.x || y >= request.box.y || z >= request.box.z)
                throw Failure("site (" + std::to_string(x) + ", " + std::to_string(y) + ", " + std::to_string(z) +
                              ") lies outside the box");
            given.push_back(codes.encode(x, y, z));
        }
        return sortedUnique(given);
    }
    case SitePlacement::Kind::uniform: break;
    }
    std::unordered_set<int32_t> taken;
    drawUniformVoxels(request.siteCount, request.box, request.placement.seed,
                      [&](int x, int y, int z) { return taken.insert(codes.encode(x, y, z)).second; });
    return sortedUnique(std::vector<int32_t>(taken.begin(), taken.end()));
}

// The per-site sums of every rank added up: integers in any order give the same bits.
void sumOverRanks(RankGroup& ranks, std::vector<FixedMoment>& sums) {
    static_assert(sizeof(FixedMoment) == sizeof(uint64_t), "fixed-point sums travel as 64-bit integers");
    ranks.sum(reinterpret_cast<uint64_t*>(sums.data()), sums.size());
}
void sumOverRanks(RankGroup& ranks, std::vector<float>& sums) { ranks.sum(sums.data(), sums.size()); }

// The steps of an iteration on one slab: the slab's own labelling, and sums that every rank adds up.
class SlabSteps : public IterationSteps {
public:
    SlabSteps(const SlabCvtRequest& request, std::vector<int32_t> sites)
        : request_(request),
          weights_(labellingWeights(request.spacing, request.grid.longestSide())),
          scales_(energyScales(request.spacing)),
          sites_(std::move(sites)),
          // Every site gives a slab one entry at most: its own voxel, or its column's plane below or above.
          entryVoxels_(std::max<size_t>(sites_.size(), 1), "a slab's site voxels"),
          entryCodes_(entryVoxels_.size(), "a slab's site codes"),
          siteCodes_(std::max<size_t>(sites_.size(), 1), "the site codes"),
          siteSums_(4 * std::max<size_t>(sites_.size(), 1), "the per-site sums"),
          energyRuns_(size_t(reduceBlocks(int(request.grid.voxels()))), "the energy sums of every slab") {}

    void label() override {
        uploadSlabSites(slabSiteEntries(sites_, gridSize, request_.slab.planes()), entryVoxels_.get(),
                        entryCodes_.get());
        computeVoronoi(weights_);
    }
    float energy() override {
        const std::vector<float> runs = slabEnergyRuns(scales_, slabFirstPlane, request_.slab.planes());
        return energyOfRuns(request_.ranks->gatherAll(runs), request_.grid.voxels(), energyRuns_.get());
    }
    void moveSites() override {
        if (request_.sums == MomentSums::fixedPoint) moveWith<FixedMoment>();
        else moveWith<float>();
    }
    const std::vector<int32_t>& sites() const { return sites_; }

private:
    // The row sums of the slab, gathered by site, added up over the ranks; then every rank moves every
    // site as the centroid step moves a site voxel, and sites that land on one voxel become one.
    template <class Moment>
    void moveWith() {
        const GridShape g = gridSize;
        const MomentVolumes<Moment> m = launchRowSums<Moment>();
        const int count = int(sites_.size());
        std::vector<Moment> sums(4 * size_t(count));
        Moment* deviceSums = reinterpret_cast<Moment*>(siteSums_.get());
        checkCuda(cudaMemcpy(siteCodes_.get(), sites_.data(), size_t(count) * sizeof(int32_t), cudaMemcpyHostToDevice),
                  "uploading the site codes");
        checkCuda(cudaMemset(deviceSums, 0, sums.size() * sizeof(Moment)), "clearing the per-site sums");
        launchSiteSums(scratchSites, m, siteCodes_.get(), count, deviceSums, slabFirstPlane, request_.slab.planes(),
                       g);
        checkCuda(cudaMemcpy(sums.data(), deviceSums, sums.size() * sizeof(Moment), cudaMemcpyDeviceToHost),
                  "reading back the per-site sums");
        sumOverRanks(*request_.ranks, sums);
        std::vector<int32_t> moved(sites_.size());
        for (int s = 0; s < count; ++s) {
            const int code = sites_[size_t(s)];
            int qx = g.codes.x(code), qy = g.codes.y(code), qz = g.codes.z(code);
            const Moment* total = sums.data() + 4 * size_t(s);
            moveTowardsCentroid(RegionSums<Moment>{total[0], total[1], total[2], total[3]}, relaxation, request_.box,
                                qx, qy, qz);
            moved[size_t(s)] = g.codes.encode(qx, qy, qz);
        }
        sites_ = sortedUnique(std::move(moved));
    }

    const SlabCvtRequest& request_;
    AxisWeights weights_;
    AxisScales scales_;
    std::vector<int32_t> sites_;
    DeviceArray<int> entryVoxels_, entryCodes_, siteCodes_;
    DeviceArray<uint64_t> siteSums_;  // of 8-byte fixed-point sums, or of 4-byte float sums
    DeviceArray<float> energyRuns_;
};

SlabCvtRun runOnSlab(const SlabCvtRequest& request) {
    const Clock::time_point started = Clock::now();
    SlabCvtRun run;
    const GridShape g = slabGrid(request.grid, request.slab);
    // The buffer set of a grid of the slab grid's sides: kernels then work on the slab grid itself,
    // which carries the whole grid's codes and its place in it.
    allocateBuffers(fullGrid(g.x, g.y, g.z), request.sums);
    gridSize = g;
    siteBox = request.box;
    levelIndex = 0;
    voronoiIndex = 0;
    uploadDensityPlanes(request.density, GridBox{request.box.x, request.box.y, request.slab.planes()},
                        request.densityDivisor, slabFirstPlane);
    SlabSteps steps(request, initialSites(request));
    run.report.levelCount = 1;
    run.report.sitesPlaced = int(steps.sites().size());
    float previousEnergy = startIterating();
    run.report.setupSeconds = secondsSince(started);

    const Clock::time_point iterating = Clock::now();
    if (request.maxIterations == 0) {
        run.report.stop = CvtStop::noIterations;
    } else {
        const uint64_t sentBefore = request.ranks->bytesSent();
        const bool converged = iterateLevel(steps, request.maxIterations, request.observer, previousEnergy, run.report);
        run.report.levelEndIterations.push_back(iteration);
        run.report.stop = converged ? CvtStop::converged : CvtStop::iterationBudget;
        run.bytesSentPerIteration = double(request.ranks->bytesSent() - sentBefore) / iteration;
    }
    steps.label();
    run.labelling.resize(size_t(g.x) * g.y * request.slab.planes());
    checkCuda(cudaMemcpy(run.labelling.data(), currentSites + g.index(0, 0, slabFirstPlane),
                         run.labelling.size() * sizeof(int32_t), cudaMemcpyDeviceToHost),
              "copying the slab's labelling back");
    run.report.iterationSeconds = secondsSince(iterating);
    run.energy = steps.energy();
    run.sites = steps.sites();
    return run;
}

}  // namespace

SlabCvtRun runSlabCvt(const SlabCvtRequest& request) {
    if (request.ranks == nullptr) throw Failure("a run split into slabs needs its ranks");
    if (request.maxIterations < 0)
        throw Failure("a run needs a budget of 0 or more iterations, not " + std::to_string(request.maxIterations));
    return releasingBuffers([&] { return runOnSlab(request); });
}

CVT_END_NAMESPACE
