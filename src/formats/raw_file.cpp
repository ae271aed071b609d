// Headerless files of little-endian samples, x fastest, whose shape and type the caller gives.
#include "volume_formats.h"
#include "volume_reading.h"

namespace cvt::formats {

VolumeFile readRaw(const std::string& path, const ReadOptions& options, const SampleSelection& selection) {
    if (!options.rawShape || !options.rawType) failAt(path, "a raw volume needs its shape and sample type given");
    const VolumeShape given = *options.rawShape;
    if (given.x < 0 || given.y < 0 || given.z < 0) failAt(path, "a raw volume's shape cannot have a negative side");
    const InputFile file(path);
    VolumeFile volume;
    volume.format = FileFormat::raw;
    volume.type = *options.rawType;
    volume.shape = checkedShape(path, {uint64_t(given.x), uint64_t(given.y), uint64_t(given.z)}, true, options.maxSide);
    const uint64_t needed = volumeBytes(volume.shape, volume.type);
    if (needed != file.size())
        failAt(path, "shape " + std::to_string(given.x) + "x" + std::to_string(given.y) + "x" + std::to_string(given.z) +
                         " of " + sampleTypeName(volume.type) + " needs " + bytesText(needed) + " but the file holds " +
                         std::to_string(file.size()));
    readSelectedSamples(path, file, 0, volume, selection);
    return volume;
}

}  // namespace cvt::formats
