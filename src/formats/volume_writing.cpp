#include "volume_writing.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "volume_reading.h"

namespace cvt::formats {

void requireWritableShape(const std::string& path, VolumeShape shape) {
    if (shape.x < 1 || shape.y < 1 || shape.z < 1)
        failAt(path, "cannot write a volume of shape " + std::to_string(shape.x) + "x" + std::to_string(shape.y) +
                         "x" + std::to_string(shape.z));
}

void writeLittleEndianSamples(AtomicFile& file, const void* samples, SampleType type, VolumeShape shape) {
    const size_t bytes = volumeBytes(shape, type);
    if constexpr (!hostBigEndian) {
        file.write(samples, bytes);
    } else {
        // Swapped a piece at a time, so that no copy of the whole volume is made.
        const size_t width = sampleBytes(type);
        std::vector<std::byte> piece(width << 16);
        for (size_t done = 0; done < bytes; done += piece.size()) {
            const size_t size = std::min(piece.size(), bytes - done);
            std::memcpy(piece.data(), static_cast<const std::byte*>(samples) + done, size);
            swapSampleBytes(piece.data(), size / width, width);
            file.write(piece.data(), size);
        }
    }
}

}  // namespace cvt::formats
