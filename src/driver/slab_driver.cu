#include "slab_driver.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <unordered_set>

#include "../host/seeding.h"
#include "../host/weighted_sample.h"
#include "cvt_driver.h"
#include "exact_steps.h"

CVT_BEGIN_NAMESPACE

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The draw of placement by density on the whole box: each rank keeps the largest keys of its own
// voxels, counted in the box's order, and every rank picks the same ones from all of them.
std::vector<int64_t> sitesByDensity(const SlabCvtRequest& request) {
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
    std::vector<int64_t> codes;
    for (const size_t index : drawn)
        codes.push_back(request.grid.codes.encode(int(index % box.x), int(index / box.x % box.y),
                                                  int(index / planeVoxels)));
    return codes;
}

// The initial sites, as placeSites places them on the full grid and in its order: drawn by density in
// the order of their voxels, given ones in theirs, uniform ones in the order of the draws.
std::vector<int64_t> initialSites(const SlabCvtRequest& request) {
    const SiteLayout codes = request.grid.codes;
    switch (request.placement.kind) {
    case SitePlacement::Kind::density: return sitesByDensity(request);
    case SitePlacement::Kind::given: {
        std::vector<int64_t> given;
        for (const std::array<int, 3>& site : request.placement.sites) {
            const auto [x, y, z] = site;
            if (x < 0 || y < 0 || z < 0 || x >= request.box.x || y >= request.box.y || z >= request.box.z)
                throw Failure("site (" + std::to_string(x) + ", " + std::to_string(y) + ", " + std::to_string(z) +
                              ") lies outside the box");
            given.push_back(codes.encode(x, y, z));
        }
        return given;
    }
    case SitePlacement::Kind::uniform: break;
    }
    std::unordered_set<int64_t> taken;
    std::vector<int64_t> drawn;
    drawUniformVoxels(request.siteCount, request.box, request.placement.seed, [&](int x, int y, int z) {
        if (!taken.insert(codes.encode(x, y, z)).second) return false;
        drawn.push_back(codes.encode(x, y, z));
        return true;
    });
    return drawn;
}

SlabCvtRun runOnSlab(const SlabCvtRequest& request) {
    const Clock::time_point started = Clock::now();
    SlabCvtRun run;
    const GridShape g = slabGrid(request.grid, request.slab);
    // The buffer set of a grid of the slab grid's sides: kernels then work on the slab grid itself,
    // which carries the whole grid's codes and its place in it.
    allocateBuffers(fullGrid(g.x, g.y, g.z, codeWidthOf(g.codes)), MomentSums::exact);
    gridSize = g;
    siteBox = request.box;
    levelIndex = 0;
    voronoiIndex = 0;
    uploadDensityPlanes(request.density, GridBox{request.box.x, request.box.y, request.slab.planes()},
                        request.densityDivisor, slabFirstPlane);
    ExactSteps steps(SiteList::initial(initialSites(request)), request.box, labellingWeights(request.spacing, request.grid.longestSide()),
                     energyScales(request.spacing),
                     SlabShare{request.ranks, slabFirstPlane, request.slab.planes()});
    run.report.levelCount = 1;
    run.report.sitesPlaced = int(steps.sites().size());
    float previousEnergy = startIterating();
    run.report.setupSeconds = secondsSince(started);

    const Clock::time_point iterating = Clock::now();
    if (request.maxIterations == 0) {
        run.report.stop = CvtStop::noIterations;
    } else {
        const uint64_t sentBefore = request.ranks->bytesSent();
        const bool settled = iterateLevel(steps, request.maxIterations, request.observer, previousEnergy, run.report);
        run.report.levelEndIterations.push_back(iteration);
        run.report.stop = settled ? finishWithPlainSteps(steps, request.maxIterations, request.observer, run.report)
                                  : CvtStop::iterationBudget;
        run.bytesSentPerIteration = double(request.ranks->bytesSent() - sentBefore) / iteration;
    }
    steps.label();
    const int codeBytes = g.codes.codeBytes();
    run.labelling = HostLabelling(size_t(g.x) * g.y * request.slab.planes(), g.codes.wide);
    checkCuda(cudaMemcpy(run.labelling.data(),
                         reinterpret_cast<const char*>(currentSites) + g.index(0, 0, slabFirstPlane) * codeBytes,
                         run.labelling.size() * codeBytes, cudaMemcpyDeviceToHost),
              "copying the slab's labelling back");
    run.report.iterationSeconds = secondsSince(iterating);
    run.report.finalEnergy = run.energy = steps.energy();
    run.report.finalSites = steps.sites();
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
