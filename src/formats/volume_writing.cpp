#include "volume_writing.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "volume_reading.h"

namespace cvt::formats {

void requireWritableShape(const std::string& path, VolumeShape shape, int axes) {
    if (shape.x < 1 || shape.y < 1 || shape.z < 1 || (axes == 2 && shape.z != 1))
        failAt(path, "cannot write a" + std::string(axes == 2 ? "n image" : " volume") + " of shape " +
                         std::to_string(shape.x) + "x" + std::to_string(shape.y) + "x" + std::to_string(shape.z));
}

void forEachLittleEndianPiece(const void* samples, SampleType type, size_t bytes,
                              const std::function<void(const void*, size_t)>& write) {
    if constexpr (!hostBigEndian) {
        write(samples, bytes);
    } else {
        const size_t width = sampleBytes(type);
        std::vector<std::byte> piece(width << 16);
        for (size_t done = 0; done < bytes; done += piece.size()) {
            const size_t size = std::min(piece.size(), bytes - done);
            std::memcpy(piece.data(), static_cast<const std::byte*>(samples) + done, size);
            swapSampleBytes(piece.data(), size / width, width);
            write(piece.data(), size);
        }
    }
}

void writeHeaderAndSamples(const std::string& path, const std::string& header, const void* samples, SampleType type,
                           VolumeShape shape) {
    AtomicFile file(path);
    file.write(header);
    forEachLittleEndianPiece(samples, type, volumeBytes(shape, type),
                             [&file](const void* piece, size_t size) { file.write(piece, size); });
    file.commit();
}

}  // namespace cvt::formats
