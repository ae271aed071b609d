#include "slab_volume_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "density_input.h"
#include "driver/slab_driver.h"
#include "formats/atomic_file.h"
#include "formats/volume_slabs.h"
#include "outputs.h"
#include "pieces.h"
#include "progress.h"
#include "run_setup.h"
#include "tessellate.h"

CVT_BEGIN_NAMESPACE

namespace {

using Clock = std::chrono::steady_clock;
using volume::DensityInput;
using volume::Tessellation;
using volume::VolumeOptions;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// What a failure says, as one process says it.
template <class Step>
std::string failureOf(Step&& step) {
    try {
        step();
        return {};
    } catch (const Failure& failure) {
        return failure.what();
    } catch (const std::bad_alloc&) {
        return "out of host memory";
    }
}

// Runs `step` on this rank as a phase of every rank, which each rank leaves whether its own step
// failed or not: whether every rank's step succeeded. Where one failed, rank 0 gives the message of
// the lowest rank that failed, and no other rank says anything.
template <class Step>
bool together(RankGroup& ranks, Step&& step) {
    const std::string message = failureOf(step);
    for (const std::vector<unsigned char>& other : ranks.gather(message.data(), message.size())) {
        if (other.empty()) continue;
        if (ranks.rank() == 0) std::fprintf(stderr, "cvt-volume: %.*s\n", int(other.size()), other.data());
        return false;
    }
    return true;
}

// Runs `step`, in which the other ranks may wait for this one in a collective operation and cannot be
// told of a failure: one ends every rank at once, after this rank's message.
template <class Step>
auto orAbandon(RankGroup& ranks, Step&& step) -> decltype(step()) {
    std::string message;
    try {
        return step();
    } catch (const Failure& failure) {
        message = failure.what();
    } catch (const std::bad_alloc&) {
        message = "out of host memory";
    }
    std::fprintf(stderr, "cvt-volume: %s\n", message.c_str());
    std::fflush(stderr);
    ranks.abandon(1);
}

// What a run across ranks does not do: it has one level, no mask, exact sums, regions as the labelling
// gives them, and its outputs are files.
void refuseSingleProcessOptions(const VolumeOptions& options) {
    const auto refuse = [](const std::string& what) {
        throw InvalidInput(what + " works in one process only, not across MPI ranks");
    };
    if (options.levels > 1) refuse("--levels above 1");
    if (options.masked()) refuse(options.maskPath ? "--mask" : "--mask-above");
    if (options.textPath) refuse("--text");
    if (options.previewPath) refuse("--preview");
    if (options.connected) refuse("--connected");
    if (options.adjacencyPath) refuse("--adjacency");
    if (options.dryRun) refuse("--dry-run");
    if (!options.deterministic) refuse("--fast-atomics");
}

class SlabVolumeRun {
public:
    SlabVolumeRun(const VolumeOptions& options, RankGroup& ranks, volume::ProgressReporter& progress)
        : options_(options), ranks_(ranks), progress_(progress), leads_(ranks.rank() == 0) {}

    bool run() {
        const Clock::time_point started = Clock::now();
        if (!together(ranks_, [&] { begin(); })) return false;
        if (!together(ranks_, [&] { readSlab(); })) return false;
        scatterWholeFile();
        if (!together(ranks_, [&] { mapDensity(); })) return false;
        shareDensityFigures();
        (options_.densityPath ? seconds_.read : seconds_.synthesis) = secondsSince(started);
        if (!together(ranks_, [&] { prepare(); })) return false;
        if (volume::placementKindOf(parameters_) == SitePlacement::Kind::density) {
            const uint64_t positive = positiveVoxels();
            if (!together(ranks_, [&] { volume::requireEnoughPositive(input_.source, positive, parameters_.sites); }))
                return false;
        }

        const volume::TessellationRun run = orAbandon(ranks_, [&] { return tessellateSlab(); });
        const Clock::time_point writing = Clock::now();
        if (leads_)
            progress_.runEnded(run.report, run.lastIteration, run.tessellation.sites.size(),
                               run.tessellation.splitRegions());
        if (options_.labelsPath && !writeLabels(*options_.labelsPath, run.tessellation)) return false;
        if (options_.sitesOutPath &&
            !together(ranks_, [&] { if (leads_) volume::writeSites(*options_.sitesOutPath, run.tessellation); }))
            return false;
        seconds_.output = secondsSince(writing);
        return !options_.summaryPath || together(ranks_, [&] {
            if (leads_) volume::writeRunSummary(*options_.summaryPath, options_, input_, run, seconds_);
        });
    }

private:
    // The box from the file's header (every rank reads it), and this rank's slab of it.
    void begin() {
        refuseSingleProcessOptions(options_);
        useDeviceOfRank(ranks_.localRank());
        if (options_.densityPath) {
            header_ = formats::readVolumeHeader(*options_.densityPath, volume::densityReadOptions(options_));
            planesReadable_ = formats::planesReadable(header_);
            input_ = volume::densityDescription(*options_.densityPath, header_);
        } else {
            input_ = volume::builtInDensity();
        }
        slabs_ = slabsOf(input_.box.z, ranks_.size());
        slab_ = slabs_[size_t(ranks_.rank())];
    }

    // Each rank its own planes where the file keeps them apart; else rank 0 the whole file.
    void readSlab() {
        if (!options_.densityPath) return;
        const formats::ReadOptions read = volume::densityReadOptions(options_);
        if (planesReadable_) file_ = formats::readVolumePlanes(*options_.densityPath, read, slab_.begin, slab_.end);
        else if (leads_) file_ = formats::readVolume(*options_.densityPath, read);
    }

    // A file read whole by rank 0 (a compressed one) goes out to the other ranks slab by slab.
    void scatterWholeFile() {
        if (!options_.densityPath || planesReadable_) return;
        int type = int(file_.type);  // as read: NIfTI scaling makes float64 of any type
        ranks_.broadcast(&type, sizeof type, 0);
        const size_t planeBytes = size_t(input_.box.x) * input_.box.y * formats::sampleBytes(formats::SampleType(type));
        if (leads_) {
            for (int rank = 1; rank < ranks_.size(); ++rank) {
                const Slab slab = slabs_[size_t(rank)];
                ranks_.send(rank, file_.samples.data() + planeBytes * slab.begin, planeBytes * slab.planes());
            }
            file_.samples.resize(planeBytes * slab_.planes());
        } else {
            file_ = header_;
            file_.type = formats::SampleType(type);
            file_.samples.resize(planeBytes * slab_.planes());
            ranks_.receive(0, file_.samples.data(), file_.samples.size());
        }
        file_.shape.z = slab_.planes();
    }

    // The slab's densities, checked as one process checks them, but for the whole being all zero.
    void mapDensity() {
        if (options_.densityPath) {
            input_.values = formats::slabDensityValues(file_, *options_.densityPath, options_.mapping, slab_.begin);
            file_ = formats::VolumeFile{};
            return;
        }
        const size_t planeVoxels = size_t(input_.box.x) * input_.box.y;
        input_.values.erase(input_.values.begin() + ptrdiff_t(planeVoxels * slab_.end), input_.values.end());
        input_.values.erase(input_.values.begin(), input_.values.begin() + ptrdiff_t(planeVoxels * slab_.begin));
    }

    // The figures of the whole density: its extremes, and its sum in voxel order, as one process adds it.
    void shareDensityFigures() {
        const auto [low, high] = std::minmax_element(input_.values.begin(), input_.values.end());
        double extremes[2] = {double(*high), -double(*low)};
        ranks_.maximum(extremes, 2);
        input_.maximum = float(extremes[0]);
        input_.minimum = float(-extremes[1]);
        std::vector<double> sum{0.0};
        ranks_.inRankOrder(sum, [&](std::vector<double>& running) {
            running[0] = std::accumulate(input_.values.begin(), input_.values.end(), running[0]);
        });
        input_.sum = sum[0];
    }

    void prepare() {
        formats::requireNonZeroDensity(input_.maximum != 0.0f, input_.source, options_.mapping);
        volume::chooseSpacing(input_, options_);
        parameters_ = volume::parametersOf(options_, input_);
        volume::DensityView whole;
        whole.samples = formats::contiguousView(nullptr, formats::SampleType::float32, formats::shapeOf(input_.box));
        whole.source = input_.source;
        volume::requireValidRequest(whole, parameters_);
        requireSlabMemory();
        if (!leads_) return;
        for (const std::string& path : options_.outputPaths()) formats::requireWritable(path);
        volume::describeInput(progress_, input_);
    }

    // The buffer set of the slab's grid on the device; on the host its density, labelling and labels
    // (and the weights that placement by density draws from).
    void requireSlabMemory() {
        const GridShape g = slabGrid(volume::gridFor(input_.box), slab_);
        const uint64_t slabVoxels = uint64_t(input_.box.x) * input_.box.y * slab_.planes();
        volume::MemoryNeeds needs = siteListMemory(parameters_, g);
        needs.device += bufferSetBytesFor(fullGrid(g.x, g.y, g.z, codeWidthOf(g.codes)),
                                          MomentSums::exact);
        needs.host += slabVoxels * (3 * sizeof(float) + g.codes.codeBytes());
        requireMemory(needs, "planes " + std::to_string(slab_.begin) + " to " + std::to_string(slab_.end - 1) + " of a " +
                                 volume::boxText(input_.box) + " box, in a " + shapeText(g) + " grid");
    }

    uint64_t positiveVoxels() {
        uint64_t positive = volume::positiveVoxels(input_.values.data(), input_.values.data() + input_.values.size());
        ranks_.sum(&positive, 1);
        return positive;
    }

    volume::TessellationRun tessellateSlab() {
        SlabCvtRequest request;
        request.density = input_.values.data();
        request.densityDivisor = input_.maximum;  // so that the largest density is 1
        request.grid = volume::gridFor(input_.box);
        request.box = input_.box;
        request.slab = slab_;
        request.siteCount = parameters_.sites;
        request.maxIterations = parameters_.maxIterations;
        request.placement.kind = volume::placementKindOf(parameters_);
        request.placement.seed = parameters_.seed;
        if (parameters_.initialSites) request.placement.sites = *parameters_.initialSites;
        request.spacing = parameters_.spacing;
        request.observer = leads_ ? &progress_ : nullptr;
        request.ranks = &ranks_;
        const SlabCvtRun slabRun = runSlabCvt(request);
        if (leads_ && slabRun.report.stop != CvtStop::noIterations)
            progress_.note("%d ranks: rank 0 sent the others %.0f bytes per iteration",
                           ranks_.size(), slabRun.bytesSentPerIteration);
        seconds_.upload = slabRun.report.setupSeconds;
        seconds_.iterations = slabRun.report.iterationSeconds;

        volume::TessellationRun run;
        run.grid = request.grid;
        run.report = slabRun.report;
        run.energy = slabRun.energy;
        run.lastIteration = iteration;
        run.insideVoxels = uint64_t(input_.box.x) * input_.box.y * input_.box.z;
        run.placement = request.placement.kind;
        run.backend = backendName();
        run.device = deviceName();
        run.tessellation = tabulate(slabRun, run.grid);
        return run;
    }

    // The slab's labels, and the sites' masses, centroids, voxel counts and pieces over the whole box.
    // The masses and the centroids' sums are float sums in voxel order: each rank goes on from the rank
    // below.
    Tessellation tabulate(const SlabCvtRun& slabRun, const GridShape& grid) {
        const volume::SiteIds ids =
            volume::SiteIds::ofRun(slabRun.report.finalSites, parameters_.initialSites.has_value());
        Tessellation result;
        result.box = input_.box;
        result.firstId = volume::firstLabelOf(parameters_);
        result.sites = volume::siteCoordinates(ids.codes(), grid.codes);
        result.initialIndex = ids.initialIndex();
        const size_t count = result.sites.size();
        result.voxels.assign(count, 0);
        std::vector<double> sums(4 * count, 0.0);  // mass, then the weighted x, y and z, per site
        const GridBox planes{input_.box.x, input_.box.y, slab_.planes()};
        ranks_.inRankOrder(sums, [&](std::vector<double>& running) {
            result.mass.resize(count);
            result.centroids.resize(count);
            for (size_t id = 0; id < count; ++id) {
                result.mass[id] = running[4 * id];
                std::copy_n(&running[4 * id + 1], 3, result.centroids[id].begin());
            }
            slabRun.labelling.visit([&](const auto* codes) {
                volume::tabulatePlanes(codes, grid, planes, slab_.begin, ids, input_.values.data(), nullptr, result);
            });
            for (size_t id = 0; id < count; ++id) {
                running[4 * id] = result.mass[id];
                std::copy_n(result.centroids[id].begin(), 3, &running[4 * id + 1]);
            }
        });
        for (size_t id = 0; id < count; ++id) {
            result.mass[id] = sums[4 * id];
            std::copy_n(&sums[4 * id + 1], 3, result.centroids[id].begin());
        }
        volume::finishCentroids(result);
        ranks_.sum(result.voxels.data(), count);
        result.pieces = pieces(result.labels, planes, count + result.firstId);
        result.pieces.erase(result.pieces.begin(), result.pieces.begin() + result.firstId);
        return result;
    }

    // Each slab counts its own pieces; the runs on the planes between slabs join them. By label.
    std::vector<uint32_t> pieces(const std::vector<uint32_t>& labels, GridBox planes, size_t labelCount) {
        const volume::SlabPieces mine = volume::countSlabPieces(labels.data(), planes, labelCount, false);
        const std::vector<std::vector<volume::PlaneRun>> bottoms = ranks_.gatherEach(mine.bottom);
        const std::vector<std::vector<volume::PlaneRun>> tops = ranks_.gatherEach(mine.top);
        std::vector<std::vector<volume::PieceJoin>> joins;
        for (size_t rank = 0; rank + 1 < tops.size(); ++rank)
            joins.push_back(volume::joinAcrossBoundary(tops[rank], bottoms[rank + 1]));
        return volume::mergeSlabCounts(ranks_.gatherEach(mine.count), joins);
    }

    // One labels file from every rank: where the format keeps the samples after a header, rank 0
    // creates it and every rank writes its planes in place; else rank 0 gathers the labels and writes
    // the file. It replaces the destination only once every rank has written.
    bool writeLabels(const std::string& path, const Tessellation& tessellation) {
        const formats::SampleType type = volume::labelSampleType(tessellation);
        std::optional<formats::PlaneWritableLayout> layout;
        if (!together(ranks_, [&] {
                layout = formats::planeWritableLayout(path, type, formats::shapeOf(input_.box), input_.fortranOrder,
                                                      input_.geometry, input_.spacing);
            }))
            return false;
        if (!layout) return writeGatheredLabels(path, tessellation);
        const size_t planeBytes = size_t(input_.box.x) * input_.box.y * formats::sampleBytes(type);
        std::optional<formats::AtomicFile> file;
        std::string temporary;
        if (!together(ranks_, [&] {
                if (!leads_) return;
                file.emplace(path);
                file->write(layout->header);
                file->extendTo(layout->dataOffset + planeBytes * input_.box.z);
                temporary = file->temporaryPath();
            }))
            return false;
        uint64_t length = temporary.size();
        ranks_.broadcast(&length, sizeof length, 0);
        temporary.resize(length);
        ranks_.broadcast(temporary.data(), length, 0);
        return together(ranks_, [&] {
                   const uint64_t offset = layout->dataOffset + planeBytes * slab_.begin;
                   if (type == formats::SampleType::uint32)
                       formats::writePlanesAt(temporary, offset, tessellation.labels.data(), type,
                                              planeBytes * slab_.planes());
                   else
                       formats::writePlanesAt(temporary, offset, volume::narrowLabels(tessellation.labels).data(),
                                              type, planeBytes * slab_.planes());
               }) &&
               together(ranks_, [&] {
                   if (leads_) file->commit();
               });
    }

    bool writeGatheredLabels(const std::string& path, const Tessellation& tessellation) {
        const size_t planeVoxels = size_t(input_.box.x) * input_.box.y;
        if (!leads_) {
            ranks_.send(0, tessellation.labels.data(), tessellation.labels.size() * sizeof(uint32_t));
            return together(ranks_, [] {});
        }
        Tessellation whole = tessellation;
        whole.labels.resize(planeVoxels * input_.box.z);
        for (int rank = 1; rank < ranks_.size(); ++rank) {
            const Slab slab = slabs_[size_t(rank)];
            ranks_.receive(rank, whole.labels.data() + planeVoxels * slab.begin,
                           planeVoxels * slab.planes() * sizeof(uint32_t));
        }
        return together(ranks_, [&] { volume::writeLabels(path, whole, input_); });
    }

    const VolumeOptions& options_;
    RankGroup& ranks_;
    volume::ProgressReporter& progress_;
    const bool leads_;
    formats::VolumeFile header_, file_;
    bool planesReadable_ = false;
    DensityInput input_;
    std::vector<Slab> slabs_;
    Slab slab_;
    volume::TessellationParameters parameters_;
    volume::PhaseSeconds seconds_;
};

}  // namespace

int runVolumeOnSlabs(const VolumeOptions& options, RankGroup& ranks) {
    const bool leads = ranks.rank() == 0;
    volume::ProgressReporter progress(stderr, leads && volume::ProgressReporter::isTerminal(stderr),
                                      options.quiet || !leads);
    SlabVolumeRun run(options, ranks, progress);
    return run.run() ? 0 : 1;
}

CVT_END_NAMESPACE
