// The file work of cvt-volume at 256^3: a float32 density .npy and .nii.gz read from /tmp into checked
// float densities, and a uint16 labelling written as .npy (through a temporary file, synced and renamed).
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "formats/volume_file.h"

CVT_BEGIN_NAMESPACE
namespace {

constexpr int edge = 256;

void benchFormats() {
    const formats::VolumeShape shape{edge, edge, edge};
    const size_t count = size_t(edge) * edge * edge;
    const std::string prefix = "/tmp/cvt-bench-" + std::to_string(getpid());

    std::vector<float> density(count);
    for (size_t i = 0; i < count; ++i) density[i] = 0.01f + float(i % 1000) / 1000;
    const std::string densityPath = prefix + "-density.npy";
    formats::writeNpy(densityPath, density.data(), formats::SampleType::float32, shape, false);
    reportSeconds("read_npy_256_s", bestSeconds(3, [&] {
                      density = formats::densityValues(formats::readVolume(densityPath), densityPath);
                  }));
    std::remove(densityPath.c_str());
    // A scan as it usually comes: a compressed NIfTI, inflated through the NIfTI library.
    const std::string niftiPath = prefix + "-density.nii.gz";
    formats::writeNifti(niftiPath, density.data(), formats::SampleType::float32, shape, {}, {1, 1, 1});
    reportSeconds("read_nifti_gz_256_s", bestSeconds(3, [&] {
                      density = formats::densityValues(formats::readVolume(niftiPath), niftiPath);
                  }));
    std::remove(niftiPath.c_str());

    // Runs of one label along x, as the regions of a labelling have.
    std::vector<uint16_t> labels(count);
    for (size_t i = 0; i < count; ++i) labels[i] = uint16_t(i / 16 % 10000);
    const std::string labelsPath = prefix + "-labels.npy";
    reportSeconds("write_labels_256_s", bestSeconds(3, [&] {
                      formats::writeNpy(labelsPath, labels.data(), formats::SampleType::uint16, shape, false);
                  }));
    std::remove(labelsPath.c_str());
}

CVT_BENCHMARK("06 formats", benchFormats);

}  // namespace
CVT_END_NAMESPACE
