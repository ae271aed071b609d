// The tessellation of a density in memory on one backend: the density in the smallest grid the buffer
// set accepts (a process's slab of it, where ranks share the box), the driver's run on it, and the
// result tabulated for the box.
#include <algorithm>
#include <vector>

#include "device/host_memory.h"
#include "driver/cvt_driver.h"
#include "driver/energy.h"
#include "driver/exact_steps.h"
#include "driver/rank_group.h"
#include "formats/large_buffer.h"
#include "host/buffers.h"
#include "memory_check.h"
#include "tessellate.h"

CVT_BEGIN_NAMESPACE

namespace {

using volume::DensityView;
using volume::TessellationParameters;

bool masked(const TessellationParameters& parameters) { return parameters.mask || parameters.maskAbove; }

// A process's planes of the density as floats x fastest, mapped and zero outside the mask: the caller's
// own samples when they are that already, else a copy; with a mask, also the flags of the voxels inside
// it. The checks of every value are made here, naming a voxel by its plane in the whole box; those of
// the whole box (not all zero, something inside the mask) by every rank together.
class FloatDensity {
public:
    FloatDensity(const DensityView& view, const TessellationParameters& parameters, Slab slab, bool wholeBox,
                 RankGroup& ranks) {
        const formats::VolumeShape shape = view.samples.shape;
        count_ = size_t(shape.x) * shape.y * shape.z;
        const formats::ViewedPart part{slab.begin, wholeBox};
        // The largest density of the box before and after the mask, whether anything lies inside the
        // mask, and whether it has mass there.
        double figures[4] = {0, 0, 0, 0};
        onEveryRank(ranks, [&] {
            const bool maps = parameters.mapping.window || parameters.mapping.clipBelow;
            if (formats::isContiguousFloat(view.samples) && !maps && !masked(parameters)) {
                formats::requireDensity(view.samples, view.source, view.naming, part);
                values_ = reinterpret_cast<const float*>(view.samples.data);
            } else {
                converted_ = formats::densityValues(view.samples, view.source, view.naming, parameters.mapping, part);
                values_ = converted_.data();
            }
            figures[3] = largest();
            if (masked(parameters)) applyMask(parameters);
        });
        figures[0] = largest();
        insideVoxels_ = count_;
        if (masked(parameters)) {
            insideVoxels_ = uint64_t(std::count(inside_.begin(), inside_.end(), uint8_t(1)));
            figures[1] = double(insideVoxels_ > 0);
            figures[2] = double(figures[0] > 0);
        }
        ranks.maximum(figures, 4);
        ranks.sum(&insideVoxels_, 1);
        maximum_ = float(figures[0]);
        onEveryRank(ranks, [&] {
            formats::requireNonZeroDensity(figures[3] > 0, view.source, parameters.mapping);
            if (!masked(parameters)) return;
            const std::string source = parameters.mask ? parameters.maskSource : view.source;
            if (figures[1] == 0) throw InvalidInput(source + ": no voxel lies inside the mask");
            if (figures[2] == 0) throw InvalidInput(source + ": every density value inside the mask is zero");
        });
    }
    const float* values() const { return values_; }
    const float* end() const { return values_ + count_; }
    const uint8_t* inside() const { return inside_.empty() ? nullptr : inside_.data(); }
    uint64_t insideVoxels() const { return insideVoxels_; }  // of the whole box
    float maximum() const { return maximum_; }               // of the whole box

private:
    double largest() const { return values_ == end() ? 0.0 : double(*std::max_element(values_, end())); }

    void applyMask(const TessellationParameters& parameters) {
        formats::resizeLarge(inside_, count_);
        std::fill(inside_.begin(), inside_.end(), uint8_t(1));
        if (parameters.mask) formats::markNonZero(*parameters.mask, inside_.data());
        for (size_t i = 0; i < count_; ++i) {
            if (parameters.maskAbove) inside_[i] &= uint8_t(converted_[i] > *parameters.maskAbove);
            if (!inside_[i]) converted_[i] = 0.0f;
        }
    }

    std::vector<float> converted_;
    std::vector<uint8_t> inside_;
    const float* values_ = nullptr;
    size_t count_ = 0;
    uint64_t insideVoxels_ = 0;
    float maximum_ = 0;
};

// The checks of the placement that need the whole box's density.
SitePlacement placementFor(const DensityView& view, const TessellationParameters& parameters,
                           const FloatDensity& density, RankGroup& ranks) {
    SitePlacement placement;
    placement.seed = parameters.seed;
    placement.kind = volume::placementKindOf(parameters);
    if (placement.kind == SitePlacement::Kind::given) {
        placement.sites = *parameters.initialSites;
        return placement;
    }
    uint64_t positive =
        placement.kind == SitePlacement::Kind::density ? volume::positiveVoxels(density.values(), density.end()) : 0;
    ranks.sum(&positive, 1);
    onEveryRank(ranks, [&] {
        if (uint64_t(parameters.sites) > density.insideVoxels())
            throw InvalidInput(view.source + ": " + std::to_string(parameters.sites) +
                               " sites asked for, but the mask has only " + std::to_string(density.insideVoxels()) +
                               " voxels");
        if (placement.kind == SitePlacement::Kind::density)
            volume::requireEnoughPositive(view.source, positive, parameters.sites);
    });
    return placement;
}

// The pyramid levels a run uses: one without iterations, else as many as the grid allows and asked.
int levelsUsed(GridBox box, const TessellationParameters& parameters) {
    return parameters.maxIterations == 0 ? 1 : usableLevelCount(volume::gridFor(box), parameters.levels);
}

volume::TessellationRun runOnBuffers(const DensityView& view, const TessellationParameters& parameters,
                                     CvtObserver* observer, GridBox box, Slab slab, RankGroup& ranks) {
    const GridShape grid = volume::gridFor(box);
    onEveryRank(ranks, [&] {
        volume::requireValidRequest(box, view, parameters);
        requireMemory(tessellationMemory(box, parameters, slab), volume::placementText(box, view.naming));
    });
    const bool wholeBox = slab.planes() == box.z;
    const FloatDensity density(view, parameters, slab, wholeBox, ranks);
    volume::TessellationRun run;
    run.placement = volume::placementKindOf(parameters);
    run.grid = grid;
    run.backend = backendName();
    run.device = deviceName();

    SitePlacement placement = placementFor(view, parameters, density, ranks);
    const GridShape slabGridOfRun = slabGrid(grid, slab, box.z, levelsUsed(box, parameters));
    allocateBuffers(slabGridOfRun, momentSumsOf(parameters), masked(parameters));
    CvtRequest request;
    request.inside = density.inside();
    request.spacing = parameters.spacing;
    // Divided by its maximum as it is uploaded, so that the largest density is 1.
    request.density = density.values();
    request.densityDivisor = density.maximum();
    request.siteCount = parameters.sites;
    request.maxLevels = parameters.levels;
    request.maxIterations = parameters.maxIterations;
    request.box = box;
    request.placement = std::move(placement);
    request.connected = parameters.connected;
    request.idsFollowPlacement = run.placement == SitePlacement::Kind::given;
    request.observer = observer;
    request.ranks = &ranks;
    request.slab = slab;
    runCvt(request);
    run.report = lastCvtRun();
    // Of the final labelling: exact sums give it with the run; float sums evaluate it, still in currentSites.
    run.energy = run.report.finalEnergy ? *run.report.finalEnergy : evaluateEnergy(energyScales(parameters.spacing));
    run.lastIteration = iteration;
    // The labelling comes out once the rest of the set is gone: a run never holds both at once.
    releaseAllButLabelling();
    run.labelling =
        HostLabelling(size_t(slabGridOfRun.x) * size_t(slabGridOfRun.y) * size_t(slab.planes()), grid.codes.wide);
    checkCuda(copyLabelling(run.labelling.data(), slabGridOfRun, slab), "copying the labelling back");
    releaseBuffers();
    std::optional<volume::SiteIds> ids;
    if (run.report.finalSites.size() > 0)
        ids = volume::SiteIds::ofRun(run.report.finalSites, run.placement == SitePlacement::Kind::given);
    run.tessellation = run.labelling.visit([&](const auto* codes) {
        return volume::tabulate(codes, slabGridOfRun, box, slab, density.values(), density.inside(),
                                volume::firstLabelOf(parameters), ids, ranks);
    });
    run.insideVoxels = density.insideVoxels();
    return run;
}

}  // namespace

void requireMemory(const volume::MemoryNeeds& needs, const std::string& what) {
    volume::MemoryAvailable available;
    size_t free = 0, total = 0;
    checkCuda(cudaMemGetInfo(&free, &total), "asking the device for its free memory");
    available.device = free;
    available.host = availableHostMemory().value_or(UINT64_MAX);
    available.sharedMemory = deviceMemoryIsHostMemory();
    if (const auto shortfall = volume::memoryShortfall(needs, available)) throw MemoryShortfall(*shortfall + " (" + what + ")");
}

MomentSums momentSumsOf(const TessellationParameters& parameters) {
    return parameters.deterministic ? MomentSums::exact : MomentSums::floatAtomics;
}

volume::MemoryNeeds siteListMemory(const TessellationParameters& parameters, const GridShape& grid) {
    if (!parameters.deterministic) return {};
    const uint64_t sites = parameters.initialSites ? parameters.initialSites->size() : uint64_t(parameters.sites);
    const ExactStepsBytes bytes = exactStepsBytes(sites, grid.codes.codeBytes());
    volume::MemoryNeeds needs;
    needs.device = bytes.device;
    needs.host = bytes.host;
    return needs;
}

volume::MemoryNeeds tessellationMemory(GridBox box, const TessellationParameters& parameters, Slab slab) {
    if (slab.planes() == 0) slab = Slab{0, box.z};
    const GridShape grid = slabGrid(volume::gridFor(box), slab, box.z, levelsUsed(box, parameters));
    if (const std::string problem = floatSumsProblem(grid); !parameters.deterministic && !problem.empty())
        throw InvalidInput(problem);
    const uint64_t boxBytes = uint64_t(box.x) * box.y * slab.planes() * sizeof(float);
    volume::MemoryNeeds needs = siteListMemory(parameters, grid);
    needs.device += bufferSetBytesFor(grid, momentSumsOf(parameters), masked(parameters));
    // Throughout: the density (when it has to be converted) and, with a mask, its flags in the box and
    // those of its coarser levels. While the buffer set is held: a plane of the grid to upload the
    // density through, and the weights that placement by density draws from. After it: the labelling
    // of the grid's planes of the slab (in its codes' width) and the labels of the box's planes.
    const uint64_t throughout = boxBytes + (masked(parameters) ? boxBytes / sizeof(float) * 2 : 0);
    needs.host += throughout + uint64_t(grid.x) * grid.y * sizeof(float) +
                  (volume::placementKindOf(parameters) == SitePlacement::Kind::density ? boxBytes : 0);
    needs.hostAfter = throughout + uint64_t(grid.x) * grid.y * slab.planes() * grid.codes.codeBytes() + boxBytes;
    return needs;
}

volume::TessellationRun tessellate(const DensityView& density, const TessellationParameters& parameters,
                                   CvtObserver* observer, const RunPlace& place) {
    LoneRank alone;
    RankGroup& ranks = place.ranks != nullptr ? *place.ranks : alone;
    const formats::VolumeShape shape = density.samples.shape;
    const GridBox box = place.box.x > 0 ? place.box : GridBox{shape.x, shape.y, shape.z};
    const Slab slab = place.slab.planes() > 0 ? place.slab : Slab{0, box.z};
    return releasingBuffers([&] { return runOnBuffers(density, parameters, observer, box, slab, ranks); });
}

volume::TessellationRun tessellate(const volume::DensityView& density, const volume::TessellationParameters& parameters,
                                   CvtObserver* observer) {
    return tessellate(density, parameters, observer, RunPlace{});
}

CVT_END_NAMESPACE
