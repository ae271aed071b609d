// A cvt-volume run on one backend: the user's density read, the tessellation of it, and the outputs and
// reports of the run. A process alone is the one rank of its own group, holding the whole box; under an
// MPI launch each rank reads, labels and writes one slab of whole z planes, and the files come out as
// one process writes them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "density_input.h"
#include "device/device.h"
#include "formats/atomic_file.h"
#include "formats/volume_slabs.h"
#include "outputs.h"
#include "preview.h"
#include "progress.h"
#include "run_setup.h"
#include "tessellation/adjacency.h"
#include "tessellation/tessellate.h"
#include "volume_run.h"

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

class VolumeRun {
public:
    VolumeRun(const VolumeOptions& options, RankGroup& ranks, volume::ProgressReporter& progress)
        : options_(options), ranks_(ranks), progress_(progress), leads_(ranks.rank() == 0) {}

    bool run() {
        const Clock::time_point started = Clock::now();
        if (!together(ranks_, [&] { begin(); })) return false;
        if (!together(ranks_, [&] { readSlabs(); })) return false;
        scatterWholeFiles();
        if (!together(ranks_, [&] { mapDensity(); })) return false;
        shareDensityFigures();
        (options_.densityPath ? seconds_.read : seconds_.synthesis) = secondsSince(started);
        if (!together(ranks_, [&] { prepare(); })) return false;
        if (options_.dryRun) return printNeeds();

        std::optional<volume::TessellationRun> run = tessellateSlab();
        if (!run) return false;
        const Clock::time_point writing = Clock::now();
        if (options_.masked())
            progress_.note("%s: %llu of %llu voxels inside the mask; %llu site moves sent inside it",
                           input_.source.c_str(), static_cast<unsigned long long>(run->insideVoxels),
                           static_cast<unsigned long long>(uint64_t(input_.box.x) * input_.box.y * input_.box.z),
                           static_cast<unsigned long long>(run->report.insideMoves));
        progress_.runEnded(run->report, run->lastIteration, run->tessellation.sites.size(),
                           run->tessellation.splitRegions());
        if (!writeOutputs(*run)) return false;
        seconds_.output = secondsSince(writing);
        return !options_.summaryPath || together(ranks_, [&] {
            if (leads_) volume::writeRunSummary(*options_.summaryPath, options_, input_, *run, seconds_);
        });
    }

private:
    // The box from the file's header (every rank reads it), the pyramid levels the run uses, and this
    // rank's slab of the box's planes, whole planes of every level.
    void begin() {
        useDeviceOfRank(ranks_.localRank());
        if (options_.densityPath) {
            header_ = formats::readVolumeHeader(*options_.densityPath, volume::densityReadOptions(options_));
            input_ = volume::densityDescription(*options_.densityPath, header_);
        } else {
            input_ = volume::builtInDensity();
        }
        if (options_.maskPath) maskHeader_ = formats::readVolumeHeader(*options_.maskPath, maskReadOptions());
        // Float sums add in whatever order the atomics land: ranks could not give one process's sums.
        if (!options_.deterministic && !alone())
            throw InvalidInput("--fast-atomics works in one process only, not across MPI ranks");
        const int levels =
            options_.maxIterations == 0 ? 1 : usableLevelCount(volume::gridFor(input_.box), std::max(options_.levels, 1));
        slabs_ = slabsOf(input_.box.z, ranks_.size(), 1 << (std::max(levels, 1) - 1));
        slab_ = slabs_[size_t(ranks_.rank())];
    }

    formats::ReadOptions maskReadOptions() const {
        formats::ReadOptions read = options_.read;
        read.format.reset();
        read.maxSide = maxGridSide;
        return read;
    }

    bool alone() const { return ranks_.size() == 1; }
    bool readsOwnPlanes(const formats::VolumeFile& header) const { return !alone() && formats::planesReadable(header); }

    // This rank's planes of a file where the file keeps them apart; else rank 0 reads the whole file, to
    // send out in scatterWholeFiles (a process alone reads it whole).
    formats::VolumeFile readSlab(const std::string& path, const formats::ReadOptions& read,
                                 const formats::VolumeFile& header) const {
        if (readsOwnPlanes(header)) return formats::readVolumePlanes(path, read, slab_.begin, slab_.end);
        if (leads_) return formats::readVolume(path, read);
        return {};
    }

    void readSlabs() {
        if (options_.densityPath) file_ = readSlab(*options_.densityPath, volume::densityReadOptions(options_), header_);
        if (options_.maskPath) mask_ = readSlab(*options_.maskPath, maskReadOptions(), maskHeader_);
    }

    // A file read whole by rank 0 goes out to the other ranks slab by slab.
    void scatterWholeFile(formats::VolumeFile& file, const formats::VolumeFile& header) {
        if (alone() || readsOwnPlanes(header)) return;
        int type = int(file.type);  // as read: NIfTI scaling makes float64 of any type
        ranks_.broadcast(&type, sizeof type, 0);
        const size_t planeBytes = size_t(input_.box.x) * input_.box.y * formats::sampleBytes(formats::SampleType(type));
        if (leads_) {
            for (int rank = 1; rank < ranks_.size(); ++rank) {
                const Slab slab = slabs_[size_t(rank)];
                ranks_.send(rank, file.samples.data() + planeBytes * slab.begin, planeBytes * slab.planes());
            }
            file.samples.resize(planeBytes * slab_.planes());
        } else {
            file = header;
            file.type = formats::SampleType(type);
            file.samples.resize(planeBytes * slab_.planes());
            ranks_.receive(0, file.samples.data(), file.samples.size());
        }
        file.shape.z = slab_.planes();
    }

    void scatterWholeFiles() {
        if (options_.densityPath) scatterWholeFile(file_, header_);
        if (options_.maskPath) scatterWholeFile(mask_, maskHeader_);
    }

    // The slab's densities, checked with their voxels named in the whole volume; whether the whole is
    // all zero is for every rank to say together.
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
        if (options_.maskPath) {
            const formats::VolumeShape box = formats::shapeOf(input_.box), mask = maskHeader_.shape;
            if (mask.x != box.x || mask.y != box.y || mask.z != box.z)
                throw InvalidInput(*options_.maskPath + ": the mask is a " + formats::boxName(mask, formats::VoxelNaming::xyz) +
                                   ", the density a " + formats::boxName(box, formats::VoxelNaming::xyz));
            parameters_.mask = formats::contiguousView(mask_.samples.data(), mask_.type, mask_.shape);
        }
        if (options_.previewAt) {
            const auto [x, y, z] = *options_.previewAt;
            if (x < 0 || y < 0 || z < 0 || x >= input_.box.x || y >= input_.box.y || z >= input_.box.z)
                throw Failure("--preview-at " + std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(z) +
                              " lies outside the " + volume::boxText(input_.box) + " box");
        }
        if (!leads_) return;
        for (const std::string& path : options_.outputPaths()) formats::requireWritable(path);
        volume::describeInput(progress_, input_);
    }

    volume::DensityView densityView() const {
        volume::DensityView density;
        density.samples = formats::contiguousView(input_.values.data(), formats::SampleType::float32,
                                                  formats::VolumeShape{input_.box.x, input_.box.y, slab_.planes()});
        density.source = input_.source;
        return density;
    }

    // --dry-run's answer on standard output, one "key: value" per line: the grid and the bytes of memory
    // the run would take, besides the input as read; across ranks, each rank's planes and bytes.
    bool printNeeds() {
        volume::MemoryNeeds needs;
        if (!together(ranks_, [&] { needs = tessellationMemory(input_.box, parameters_, slab_); })) return false;
        const std::vector<uint64_t> mine{uint64_t(slab_.begin), uint64_t(slab_.end), needs.device, needs.hostPeak()};
        const std::vector<std::vector<uint64_t>> every = ranks_.gatherEach(mine);
        if (!leads_) return true;
        const GridShape grid = volume::gridFor(input_.box);
        std::printf("box: %d %d %d\ngrid: %d %d %d\n", input_.box.x, input_.box.y, input_.box.z, grid.x, grid.y, grid.z);
        if (alone()) {
            std::printf("device_bytes: %llu\nhost_bytes: %llu\n", static_cast<unsigned long long>(needs.device),
                        static_cast<unsigned long long>(needs.hostPeak()));
        } else {
            std::printf("ranks: %d\n", ranks_.size());
            for (size_t rank = 0; rank < every.size(); ++rank)
                std::printf("rank_%zu_planes: %llu %llu\nrank_%zu_device_bytes: %llu\nrank_%zu_host_bytes: %llu\n", rank,
                            static_cast<unsigned long long>(every[rank][0]),
                            static_cast<unsigned long long>(every[rank][1]), rank,
                            static_cast<unsigned long long>(every[rank][2]), rank,
                            static_cast<unsigned long long>(every[rank][3]));
        }
        std::printf("shared_memory: %s\n", deviceMemoryIsHostMemory() ? "yes" : "no");
        return std::fflush(stdout) == 0;
    }

    // The run. Its checks fail on every rank together; a failure in the middle of it, where the other
    // ranks may be waiting for this one in a collective step and cannot be told, ends every rank at once
    // after this rank's message.
    std::optional<volume::TessellationRun> tessellateSlab() {
        const uint64_t sentBefore = ranks_.bytesSent();
        std::string message;
        try {
            volume::TessellationRun run = tessellate(densityView(), parameters_, leads_ ? &progress_ : nullptr,
                                                     RunPlace{&ranks_, input_.box, slab_});
            if (!alone() && run.lastIteration > 0)
                progress_.note("%d ranks: rank 0 sent the others %.0f bytes per iteration", ranks_.size(),
                               double(ranks_.bytesSent() - sentBefore) / run.lastIteration);
            seconds_.upload = run.report.setupSeconds;
            seconds_.iterations = run.report.iterationSeconds;
            return run;
        } catch (const Failure& failure) {
            message = failure.what();
            if (alone() || dynamic_cast<const FailureOfEveryRank*>(&failure) != nullptr) {
                if (leads_) std::fprintf(stderr, "cvt-volume: %s\n", message.c_str());
                return std::nullopt;
            }
        } catch (const std::bad_alloc&) {
            message = "out of host memory";
            if (alone()) {
                std::fprintf(stderr, "cvt-volume: %s\n", message.c_str());
                return std::nullopt;
            }
        }
        std::fprintf(stderr, "cvt-volume: %s\n", message.c_str());
        std::fflush(stderr);
        ranks_.abandon(1);
    }

    bool writeOutputs(const volume::TessellationRun& run) {
        const Tessellation& tessellation = run.tessellation;
        if (options_.labelsPath && !writeLabels(*options_.labelsPath, tessellation)) return false;
        if (options_.sitesOutPath &&
            !together(ranks_, [&] { if (leads_) volume::writeSites(*options_.sitesOutPath, tessellation); }))
            return false;
        if (options_.adjacencyPath && !writeAdjacency(*options_.adjacencyPath, tessellation)) return false;
        if (options_.textPath && !writeText(*options_.textPath, run)) return false;
        return !options_.previewPath || writePreview(*options_.previewPath, run);
    }

    // One labels file from every rank: where the format keeps the samples after a header, rank 0
    // creates it and every rank writes its planes in place; else rank 0 gathers the labels and writes
    // the file. It replaces the destination only once every rank has written.
    bool writeLabels(const std::string& path, const Tessellation& tessellation) {
        if (alone()) return together(ranks_, [&] { volume::writeLabels(path, tessellation, input_); });
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

    // Every rank's part of a plane-ordered array, joined on rank 0 in rank order.
    template <class T>
    std::vector<T> gatheredOnLead(const std::vector<T>& mine) {
        return gatheredOnLead(mine.data(), mine.size());
    }
    template <class T>
    std::vector<T> gatheredOnLead(const T* mine, size_t count) {
        if (!leads_) {
            ranks_.send(0, mine, count * sizeof(T));
            return {};
        }
        std::vector<T> whole(mine, mine + count);
        const size_t perPlane = count / size_t(std::max(slab_.planes(), 1));
        for (int rank = 1; rank < ranks_.size(); ++rank) {
            const Slab slab = slabs_[size_t(rank)];
            const size_t at = whole.size();
            whole.resize(at + perPlane * size_t(slab.planes()));
            ranks_.receive(rank, whole.data() + at, perPlane * size_t(slab.planes()) * sizeof(T));
        }
        return whole;
    }

    bool writeGatheredLabels(const std::string& path, const Tessellation& tessellation) {
        Tessellation whole = tessellation;
        whole.labels = gatheredOnLead(tessellation.labels);
        return together(ranks_, [&] {
            if (leads_) volume::writeLabels(path, whole, input_);
        });
    }

    // Each rank counts the faces of its planes, those with the first plane of the rank above included;
    // rank 0 adds the counts up.
    bool writeAdjacency(const std::string& path, const Tessellation& tessellation) {
        const size_t planeVoxels = size_t(input_.box.x) * input_.box.y;
        std::vector<uint32_t> labels = tessellation.labels;
        const std::vector<std::vector<uint32_t>> firstPlanes =
            ranks_.gatherEach(std::vector<uint32_t>(labels.begin(), labels.begin() + ptrdiff_t(planeVoxels)));
        const bool above = ranks_.rank() + 1 < ranks_.size();
        if (above) labels.insert(labels.end(), firstPlanes[size_t(ranks_.rank()) + 1].begin(),
                                 firstPlanes[size_t(ranks_.rank()) + 1].end());
        const GridBox planes{input_.box.x, input_.box.y, slab_.planes() + (above ? 1 : 0)};
        const std::vector<volume::PairFaceCount> counts =
            ranks_.gatherAll(volume::countPairFaces(labels.data(), planes, slab_.planes()));
        return together(ranks_, [&] {
            if (leads_) formats::writeAdjacencyCsv(path, volume::adjacencyRows(counts, input_.usedSpacing));
        });
    }

    // The lines go out in x order, across every rank's planes: rank 0 gathers the labelling of the box.
    bool writeText(const std::string& path, const volume::TessellationRun& run) {
        return run.labelling.visit([&](const auto* codes) {
            const auto labelling = gatheredOnLead(codes, run.labelling.size());
            return together(ranks_, [&] {
                if (leads_) volume::writeText(path, labelling.data(), run.grid, input_.box);
            });
        });
    }

    // The ranks holding the slices' planes send them to rank 0, which draws the picture.
    bool writePreview(const std::string& path, const volume::TessellationRun& run) {
        const Tessellation& tessellation = run.tessellation;
        char caption[96];
        std::snprintf(caption, sizeof caption, "energy %.2f   %zu sites", double(run.energy), tessellation.sites.size());
        const volume::PreviewScene scene{tessellation.box,  input_.values.data(), tessellation.labels.data(),
                                         &tessellation.sites, options_.previewAt.value_or(volume::boxCentre(tessellation.box)),
                                         caption,           options_.masked(),    slab_.begin,
                                         slab_.planes()};
        const volume::PreviewSlices mine = volume::heldSlices(scene);
        std::vector<volume::PreviewSlices> parts;
        for (int axis = 0; axis < 3; ++axis) {
            const volume::SliceVoxels& slice = mine[size_t(axis)];
            const std::vector<std::vector<float>> densities = ranks_.gatherEach(slice.density);
            const std::vector<std::vector<uint32_t>> labels = ranks_.gatherEach(slice.labels);
            parts.resize(densities.size());
            for (size_t rank = 0; rank < densities.size(); ++rank) {
                volume::SliceVoxels& part = parts[rank][size_t(axis)];
                part.columns = slice.columns;
                part.rows = int(densities[rank].size() / size_t(std::max(slice.columns, 1)));
                part.density = densities[rank];
                part.labels = labels[rank];
            }
        }
        return together(ranks_, [&] {
            if (leads_) volume::writePreview(path, scene, volume::joinedSlices(parts));
        });
    }

    const VolumeOptions& options_;
    RankGroup& ranks_;
    volume::ProgressReporter& progress_;
    const bool leads_;
    formats::VolumeFile header_, file_, maskHeader_, mask_;
    DensityInput input_;
    std::vector<Slab> slabs_;
    Slab slab_;
    volume::TessellationParameters parameters_;
    volume::PhaseSeconds seconds_;
};

}  // namespace

int runVolume(const VolumeOptions& options, RankGroup* ranks) {
    LoneRank alone;
    RankGroup& group = ranks != nullptr ? *ranks : alone;
    const bool leads = group.rank() == 0;
    volume::ProgressReporter progress(stderr, leads && volume::ProgressReporter::isTerminal(stderr),
                                      options.quiet || !leads);
    VolumeRun run(options, group, progress);
    return run.run() ? 0 : 1;
}

CVT_END_NAMESPACE
