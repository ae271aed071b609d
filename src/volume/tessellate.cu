// The tessellation of a density in memory on one backend: the density in the smallest grid the buffer
// set accepts, the driver's run on it, and the result tabulated for the box.
#include <algorithm>
#include <vector>

#include "device/host_memory.h"
#include "driver/cvt_driver.h"
#include "driver/energy.h"
#include "driver/exact_steps.h"
#include "formats/large_buffer.h"
#include "host/buffers.h"
#include "memory_check.h"
#include "tessellate.h"

CVT_BEGIN_NAMESPACE

namespace {

using volume::DensityView;
using volume::TessellationParameters;

bool masked(const TessellationParameters& parameters) { return parameters.mask || parameters.maskAbove; }

// The density as floats x fastest, mapped and zero outside the mask: the caller's own samples when they
// are that already, else a copy. With a mask, also the flags of the voxels inside it.
class FloatDensity {
public:
    FloatDensity(const DensityView& view, const TessellationParameters& parameters) {
        const formats::VolumeShape shape = view.samples.shape;
        count_ = size_t(shape.x) * shape.y * shape.z;
        const bool maps = parameters.mapping.window || parameters.mapping.clipBelow;
        if (formats::isContiguousFloat(view.samples) && !maps && !masked(parameters)) {
            formats::requireDensity(view.samples, view.source, view.naming);
            values_ = reinterpret_cast<const float*>(view.samples.data);
        } else {
            converted_ = formats::densityValues(view.samples, view.source, view.naming, parameters.mapping);
            values_ = converted_.data();
        }
        insideVoxels_ = count_;
        if (masked(parameters)) applyMask(view, parameters);
    }
    const float* values() const { return values_; }
    const float* end() const { return values_ + count_; }
    const uint8_t* inside() const { return inside_.empty() ? nullptr : inside_.data(); }
    uint64_t insideVoxels() const { return insideVoxels_; }

private:
    void applyMask(const DensityView& view, const TessellationParameters& parameters) {
        formats::resizeLarge(inside_, count_);
        std::fill(inside_.begin(), inside_.end(), uint8_t(1));
        if (parameters.mask) formats::markNonZero(*parameters.mask, inside_.data());
        insideVoxels_ = 0;
        bool mass = false;
        for (size_t i = 0; i < count_; ++i) {
            if (parameters.maskAbove) inside_[i] &= uint8_t(converted_[i] > *parameters.maskAbove);
            if (!inside_[i]) converted_[i] = 0.0f;
            insideVoxels_ += inside_[i];
            mass |= converted_[i] > 0;
        }
        const std::string source = parameters.mask ? parameters.maskSource : view.source;
        if (insideVoxels_ == 0) throw InvalidInput(source + ": no voxel lies inside the mask");
        if (!mass) throw InvalidInput(source + ": every density value inside the mask is zero");
    }

    std::vector<float> converted_;
    std::vector<uint8_t> inside_;
    const float* values_ = nullptr;
    size_t count_ = 0;
    uint64_t insideVoxels_ = 0;
};

SitePlacement placementFor(const DensityView& view, const TessellationParameters& parameters,
                           const FloatDensity& density) {
    SitePlacement placement;
    placement.seed = parameters.seed;
    placement.kind = volume::placementKindOf(parameters);
    if (placement.kind == SitePlacement::Kind::given) {
        placement.sites = *parameters.initialSites;
        return placement;
    }
    if (uint64_t(parameters.sites) > density.insideVoxels())
        throw InvalidInput(view.source + ": " + std::to_string(parameters.sites) +
                           " sites asked for, but the mask has only " + std::to_string(density.insideVoxels()) +
                           " voxels");
    if (placement.kind != SitePlacement::Kind::density) return placement;
    volume::requireEnoughPositive(view.source, volume::positiveVoxels(density.values(), density.end()), parameters.sites);
    return placement;
}

// The mask's flags in the grid, at the box's place; nothing without a mask.
std::vector<uint8_t> gridInside(const uint8_t* inside, GridBox box, const GridShape& grid) {
    if (inside == nullptr) return {};
    std::vector<uint8_t> flags;
    formats::resizeLarge(flags, size_t(grid.voxels()));
    std::fill(flags.begin(), flags.end(), uint8_t(0));
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            std::copy_n(inside + size_t(box.x) * (y + size_t(box.y) * z), box.x, flags.data() + grid.index(0, y, z));
    return flags;
}

volume::TessellationRun runOnBuffers(const DensityView& view, const TessellationParameters& parameters,
                                     CvtObserver* observer) {
    volume::requireValidRequest(view, parameters);
    const GridBox box{view.samples.shape.x, view.samples.shape.y, view.samples.shape.z};
    const GridShape grid = volume::gridFor(box);
    requireMemory(tessellationMemory(box, parameters), volume::placementText(box, view.naming));
    const FloatDensity density(view, parameters);
    volume::TessellationRun run;
    run.placement = volume::placementKindOf(parameters);
    run.grid = grid;
    run.backend = backendName();
    run.device = deviceName();

    SitePlacement placement = placementFor(view, parameters, density);
    allocateBuffers(grid, momentSumsOf(parameters), masked(parameters));
    run.labelling = HostLabelling(size_t(grid.voxels()), grid.codes.wide);
    {
        const std::vector<uint8_t> inside = gridInside(density.inside(), box, grid);
        CvtRequest request;
        request.inside = inside.empty() ? nullptr : inside.data();
        request.spacing = parameters.spacing;
        // Divided by its maximum as it is uploaded, so that the largest density is 1.
        request.density = density.values();
        request.densityDivisor = *std::max_element(density.values(), density.end());
        request.result = run.labelling.data();
        request.siteCount = parameters.sites;
        request.maxLevels = parameters.levels;
        request.maxIterations = parameters.maxIterations;
        request.box = box;
        request.placement = std::move(placement);
        request.connected = parameters.connected;
        request.idsFollowPlacement = run.placement == SitePlacement::Kind::given;
        request.observer = observer;
        runCvt(request);
    }
    run.report = lastCvtRun();
    // Of the final labelling: exact sums give it with the run; float sums evaluate it, still in currentSites.
    run.energy = run.report.finalEnergy ? *run.report.finalEnergy : evaluateEnergy(energyScales(parameters.spacing));
    run.lastIteration = iteration;
    releaseBuffers();
    std::optional<volume::SiteIds> ids;
    if (run.report.finalSites.size() > 0)
        ids = volume::SiteIds::ofRun(run.report.finalSites, run.placement == SitePlacement::Kind::given);
    run.tessellation = run.labelling.visit([&](const auto* codes) {
        return volume::tabulate(codes, grid, box, density.values(), density.inside(), volume::firstLabelOf(parameters),
                                ids);
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

volume::MemoryNeeds tessellationMemory(GridBox box, const TessellationParameters& parameters) {
    const GridShape grid = volume::gridFor(box);
    if (const std::string problem = floatSumsProblem(grid); !parameters.deterministic && !problem.empty())
        throw InvalidInput(problem);
    const uint64_t gridBytes = uint64_t(grid.voxels()) * sizeof(float);
    const uint64_t boxBytes = uint64_t(box.x) * box.y * box.z * sizeof(float);
    volume::MemoryNeeds needs = siteListMemory(parameters, grid);
    needs.device += bufferSetBytesFor(grid, momentSumsOf(parameters), masked(parameters));
    // The result at the size of the grid (in its codes' width) and a plane of it to upload the density
    // through; the density (when it has to be converted) and the labels of the box; the weights that
    // placement by density draws from; with a mask, its flags in the grid and in the box, and those of
    // its coarser levels.
    needs.host += uint64_t(grid.voxels()) * grid.codes.codeBytes() + uint64_t(grid.x) * grid.y * sizeof(float) +
                  2 * boxBytes +
                 (volume::placementKindOf(parameters) == SitePlacement::Kind::density ? boxBytes : 0) +
                 (masked(parameters) ? (gridBytes + boxBytes) / sizeof(float) * 2 : 0);
    return needs;
}

volume::TessellationRun tessellate(const DensityView& density, const TessellationParameters& parameters,
                                   CvtObserver* observer) {
    return releasingBuffers([&] { return runOnBuffers(density, parameters, observer); });
}

CVT_END_NAMESPACE
