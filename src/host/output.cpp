#include "output.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "device/failure.h"

namespace cvt {
namespace {

constexpr int fieldValues = maxGridSide;  // a coordinate is below the longest side a grid can have

// The decimal text of a field value followed by its separator, padded to a whole word so that it can
// be stored with one 8-byte copy.
struct FieldText {
    char bytes[8];
    uint32_t length;
};

struct FieldTable {
    std::array<FieldText, fieldValues> withSpace;
    std::array<FieldText, fieldValues> withNewline;
};

FieldText fieldText(int value, char separator) {
    FieldText text{};
    char digits[8];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) text.bytes[text.length++] = digits[--count];
    text.bytes[text.length++] = separator;
    return text;
}

const FieldTable& fieldTable() {
    static const FieldTable table = [] {
        FieldTable built;
        for (int value = 0; value < fieldValues; ++value) {
            built.withSpace[value] = fieldText(value, ' ');
            built.withNewline[value] = fieldText(value, '\n');
        }
        return built;
    }();
    return table;
}

char* appendField(char* out, const FieldText& text) {
    std::memcpy(out, text.bytes, sizeof text.bytes);
    return out + text.length;
}

template <class Code>
char* appendLine(char* out, Code label, const FieldTable& table, const SiteLayout& codes) {
    out[0] = 'v';
    out[1] = ' ';
    out = appendField(out + 2, table.withSpace[codes.x(label)]);
    out = appendField(out, table.withSpace[codes.y(label)]);
    return appendField(out, table.withNewline[codes.z(label)]);
}

// Writes all of [data, data + size), through interruptions and partial writes.
void writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) throw Failure(std::string("writing the labelling failed: ") + std::strerror(errno));
        if (written == 0) throw Failure("writing the labelling failed: the output takes no more bytes");
        data += written;
        size -= static_cast<size_t>(written);
    }
}

// Lines come in x-major order but x is the unit-stride axis of the labelling. The labels of a group
// of consecutive x (one cache line of them) are first gathered into line order, so that every cache
// line of the labelling is read once.
constexpr int groupWidth = 16;
constexpr size_t bufferBytes = size_t(4) << 20;

// Gathers the labels of x = firstX .. firstX + width - 1 of the box into group[dx][y * box.z + z].
template <class Code>
void gatherGroup(const Code* labels, const GridShape& grid, GridBox box, int firstX, int width, Code* group) {
    const size_t plane = size_t(box.y) * box.z;
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y) {
            const Code* row = labels + size_t(grid.index(firstX, y, z));
            for (int dx = 0; dx < width; ++dx) group[plane * dx + size_t(box.z) * y + z] = row[dx];
        }
}

}  // namespace

char* formatLabelLine(char* out, int32_t label) { return appendLine(out, label, fieldTable(), SiteLayout{}); }

size_t labelIndexOfLine(size_t line) {
    constexpr size_t planeVoxels = size_t(labellingEdge) * labellingEdge;
    const size_t x = line / planeVoxels, y = (line / labellingEdge) % labellingEdge, z = line % labellingEdge;
    return x + labellingEdge * y + planeVoxels * z;
}

template <class Code>
void writeLabelling(const Code* labels, const GridShape& grid, GridBox box, const TextSink& sink) {
    const FieldTable& table = fieldTable();
    const size_t plane = size_t(box.y) * box.z;
    const size_t rowBytes = size_t(box.z) * labelLineRoom;  // room for one z-row of lines
    const std::unique_ptr<Code[]> group(new Code[plane * groupWidth]);
    const std::unique_ptr<char[]> buffer(new char[std::max(bufferBytes, rowBytes)]);
    char* const bufferEnd = buffer.get() + std::max(bufferBytes, rowBytes);
    char* cursor = buffer.get();
    for (int firstX = 0; firstX < box.x; firstX += groupWidth) {
        const int width = std::min(groupWidth, box.x - firstX);
        gatherGroup(labels, grid, box, firstX, width, group.get());
        const Code* lineLabels = group.get();
        for (size_t row = 0; row < size_t(box.y) * width; ++row) {
            if (size_t(bufferEnd - cursor) < rowBytes) {
                sink(buffer.get(), size_t(cursor - buffer.get()));
                cursor = buffer.get();
            }
            for (int z = 0; z < box.z; ++z) cursor = appendLine(cursor, *lineLabels++, table, grid.codes);
        }
    }
    sink(buffer.get(), size_t(cursor - buffer.get()));
}

template void writeLabelling<int32_t>(const int32_t*, const GridShape&, GridBox, const TextSink&);
template void writeLabelling<int64_t>(const int64_t*, const GridShape&, GridBox, const TextSink&);

void writeLabelling(const int32_t* labels, int fd) {
    writeLabelling(labels, labellingEdge, cubeBox(labellingEdge),
                   [fd](const char* data, size_t bytes) { writeAll(fd, data, bytes); });
}

}  // namespace cvt
