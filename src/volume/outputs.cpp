#include "outputs.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <limits>

#include "device/failure.h"
#include "formats/atomic_file.h"
#include "formats/large_buffer.h"
#include "formats/sites_csv.h"
#include "host/output.h"
#include "tessellation/adjacency.h"
#include "preview.h"

namespace cvt::volume {
namespace {

constexpr size_t uint16Sites = size_t(std::numeric_limits<uint16_t>::max()) + 1;

void writeToStandardOutput(const char* data, size_t bytes) {
    while (bytes > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, bytes);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0)
            throw Failure(std::string("writing the text to standard output failed: ") +
                          (written == 0 ? "the output takes no more bytes" : std::strerror(errno)));
        data += written;
        bytes -= size_t(written);
    }
}

}  // namespace

formats::SampleType labelSampleType(const Tessellation& tessellation) {
    return tessellation.sites.size() + tessellation.firstId > uint16Sites ? formats::SampleType::uint32
                                                                         : formats::SampleType::uint16;
}

std::vector<uint16_t> narrowLabels(const std::vector<uint32_t>& labels) {
    std::vector<uint16_t> narrow;
    formats::resizeLarge(narrow, labels.size());
    std::copy(labels.begin(), labels.end(), narrow.begin());
    return narrow;
}

void writeLabels(const std::string& path, const Tessellation& tessellation, const DensityInput& input) {
    const formats::VolumeShape shape = formats::shapeOf(tessellation.box);
    const formats::SampleType type = labelSampleType(tessellation);
    if (type == formats::SampleType::uint32) {
        formats::writeVolume(path, tessellation.labels.data(), type, shape, input.fortranOrder, input.geometry,
                             input.spacing);
        return;
    }
    formats::writeVolume(path, narrowLabels(tessellation.labels).data(), type, shape, input.fortranOrder,
                         input.geometry, input.spacing);
}

void writeSites(const std::string& path, const Tessellation& tessellation) {
    std::vector<formats::SiteRow> rows(tessellation.sites.size());
    for (size_t id = 0; id < rows.size(); ++id) {
        const std::array<int, 3>& s = tessellation.sites[id];
        formats::SiteRow& row = rows[id];
        row.x = s[0], row.y = s[1], row.z = s[2];
        row.mass = tessellation.mass[id];
        row.voxels = tessellation.voxels[id];
        row.pieces = tessellation.pieces[id];
        row.centroid = tessellation.centroids[id];
        row.initialIndex = tessellation.initialIndex[id];
    }
    formats::writeSitesCsv(path, rows, tessellation.firstId);
}

void writeAdjacency(const std::string& path, const Tessellation& tessellation, const Spacing& spacing) {
    formats::writeAdjacencyCsv(path, labelAdjacency(tessellation.labels, tessellation.box, spacing));
}

template <class Code>
void writeText(const std::string& path, const Code* labelling, const GridShape& grid, GridBox box) {
    if (path == "-") {
        writeLabelling(labelling, grid, box, writeToStandardOutput);
        return;
    }
    formats::AtomicFile file(path);
    writeLabelling(labelling, grid, box, [&file](const char* data, size_t bytes) { file.write(data, bytes); });
    file.commit();
}

template void writeText<int32_t>(const std::string&, const int32_t*, const GridShape&, GridBox);
template void writeText<int64_t>(const std::string&, const int64_t*, const GridShape&, GridBox);

}  // namespace cvt::volume
