// The tessellation of a density in memory on one backend: the density in the smallest cube the buffer
// set accepts, the driver's run on it, and the result tabulated for the box.
#include <algorithm>
#include <vector>

#include "device/host_memory.h"
#include "driver/cvt_driver.h"
#include "driver/energy.h"
#include "formats/large_buffer.h"
#include "host/buffers.h"
#include "memory_check.h"
#include "tessellate.h"

CVT_BEGIN_NAMESPACE

namespace {

using volume::DensityView;
using volume::TessellationParameters;

MomentSums momentSumsOf(const TessellationParameters& parameters) {
    return parameters.deterministic ? MomentSums::fixedPoint : MomentSums::floatAtomics;
}

SitePlacement::Kind placementKindOf(const TessellationParameters& parameters) {
    if (parameters.initialSites) return SitePlacement::Kind::given;
    return parameters.seeding == volume::Seeding::density ? SitePlacement::Kind::density : SitePlacement::Kind::uniform;
}

// The density as floats x fastest: the caller's own samples when they are that already, else a copy.
class FloatDensity {
public:
    explicit FloatDensity(const DensityView& view) {
        if (formats::isContiguousFloat(view.samples)) {
            formats::requireDensity(view.samples, view.source, view.naming);
            values_ = reinterpret_cast<const float*>(view.samples.data);
        } else {
            converted_ = formats::densityValues(view.samples, view.source, view.naming);
            values_ = converted_.data();
        }
        const formats::VolumeShape shape = view.samples.shape;
        count_ = size_t(shape.x) * shape.y * shape.z;
    }
    const float* values() const { return values_; }
    const float* end() const { return values_ + count_; }

private:
    std::vector<float> converted_;
    const float* values_ = nullptr;
    size_t count_ = 0;
};

void requireMemory(int edge, GridBox box, const TessellationParameters& parameters) {
    const uint64_t cube = uint64_t(edge) * edge * edge * sizeof(float);
    const uint64_t boxBytes = uint64_t(box.x) * box.y * box.z * sizeof(float);
    volume::MemoryNeeds needs;
    needs.device = bufferSetBytesFor(edge, momentSumsOf(parameters));
    // The density and the result at the size of the cube; the density and the labels of the box; the
    // weights that placement by density draws from.
    needs.host = 2 * cube + 2 * boxBytes + (placementKindOf(parameters) == SitePlacement::Kind::density ? boxBytes : 0);
    volume::MemoryAvailable available;
    size_t free = 0, total = 0;
    checkCuda(cudaMemGetInfo(&free, &total), "asking the device for its free memory");
    available.device = free;
    available.host = availableHostMemory().value_or(UINT64_MAX);
    available.sharedMemory = deviceMemoryIsHostMemory();
    if (const auto shortfall = volume::memoryShortfall(needs, available))
        throw MemoryShortfall(*shortfall + " (a " + volume::boxText(box) + " box in a " + std::to_string(edge) +
                              "^3 grid)");
}

SitePlacement placementFor(const DensityView& view, const TessellationParameters& parameters,
                           const FloatDensity& density) {
    SitePlacement placement;
    placement.seed = parameters.seed;
    placement.kind = placementKindOf(parameters);
    if (placement.kind == SitePlacement::Kind::given) placement.sites = *parameters.initialSites;
    if (placement.kind != SitePlacement::Kind::density) return placement;
    const size_t positive = size_t(std::count_if(density.values(), density.end(), [](float v) { return v > 0; }));
    if (positive < size_t(parameters.sites))
        throw InvalidInput(view.source + ": only " + std::to_string(positive) +
                           " voxels have a positive density, fewer than the " + std::to_string(parameters.sites) +
                           " sites asked for (ask for fewer, or use uniform seeding)");
    return placement;
}

// The cube the buffer set works on, with the box's density divided by its maximum at its origin and
// zero elsewhere; nothing when the box's own values are that cube already.
std::vector<float> cubeDensity(const float* values, GridBox box, float maximum, int edge) {
    if (box.x == edge && box.y == edge && box.z == edge && maximum == 1.0f) return {};
    std::vector<float> cube;
    formats::resizeLarge(cube, size_t(edge) * edge * edge);
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y) {
            const float* row = values + size_t(box.x) * (y + size_t(box.y) * z);
            float* target = cube.data() + size_t(edge) * (y + size_t(edge) * z);
            for (int x = 0; x < box.x; ++x) target[x] = row[x] / maximum;
        }
    return cube;
}

volume::TessellationRun runOnBuffers(const DensityView& view, const TessellationParameters& parameters,
                                     CvtObserver* observer) {
    volume::requireValidRequest(view, parameters);
    const GridBox box{view.samples.shape.x, view.samples.shape.y, view.samples.shape.z};
    const int edge = volume::gridEdgeFor(box);
    requireMemory(edge, box, parameters);
    const FloatDensity density(view);
    volume::TessellationRun run;
    run.placement = placementKindOf(parameters);
    run.gridEdge = edge;
    run.backend = backendName();
    run.device = deviceName();

    SitePlacement placement = placementFor(view, parameters, density);
    allocateBuffers(edge, momentSumsOf(parameters));
    formats::resizeLarge(run.labelling, size_t(edge) * edge * edge);
    {
        const float maximum = *std::max_element(density.values(), density.end());
        const std::vector<float> cube = cubeDensity(density.values(), box, maximum, edge);
        CvtRequest request;
        request.density = cube.empty() ? density.values() : cube.data();
        request.result = run.labelling.data();
        request.siteCount = parameters.sites;
        request.maxLevels = parameters.levels;
        request.maxIterations = parameters.maxIterations;
        request.box = box;
        request.placement = std::move(placement);
        request.observer = observer;
        runCvt(request);
    }
    run.report = lastCvtRun();
    run.energy = evaluateEnergy();  // of the final labelling, which currentSites still holds
    run.lastIteration = iteration;
    releaseBuffers();
    run.tessellation = volume::tabulate(run.labelling.data(), edge, box, density.values());
    return run;
}

}  // namespace

volume::TessellationRun tessellate(const DensityView& density, const TessellationParameters& parameters,
                                   CvtObserver* observer) {
    try {
        return runOnBuffers(density, parameters, observer);
    } catch (...) {
        // A device in a failed state may refuse to free memory; the first failure is the one to report.
        try {
            releaseBuffers();
        } catch (const Failure&) {
        }
        throw;
    }
}

CVT_END_NAMESPACE
