#include "adjacency.h"

#include <algorithm>
#include <array>
#include <bit>
#include <stdexcept>
#include <thread>

#include "host/flag_bits.h"

namespace cvt::volume {
namespace {

// Faces per pair of labels and axis, in a hash table with linear probing. A pair's faces come in runs,
// and the pairs of neighbouring rows are mostly the same: so a small direct-mapped table in front,
// which stays in the cache, takes most additions, and passes a pair's sums on when another pair needs
// its slot.
class PairFaces {
public:
    PairFaces() : entries_(1024), recent_(recentSlots) {}

    void add(uint32_t a, uint32_t b, int axis, uint64_t faces) {
        const uint64_t key = a < b ? (uint64_t(a) << 32 | b) : (uint64_t(b) << 32 | a);
        Entry& recent = recent_[size_t((key * 0x9E3779B97F4A7C15ull) >> 52) & (recentSlots - 1)];
        if (recent.key != key) {
            if (recent.key != emptyKey) addToTable(recent);
            recent = Entry{key, {}};
        }
        recent.faces[axis] += faces;
    }

    // Adds every pair of `other`.
    void merge(PairFaces& other) {
        other.flushRecent();
        for (const Entry& entry : other.entries_)
            if (entry.key != emptyKey) addToTable(entry);
    }

    // Every pair's faces along each axis, by pair.
    std::vector<PairFaceCount> counts() {
        flushRecent();
        std::vector<PairFaceCount> counts;
        for (const Entry& entry : entries_)
            if (entry.key != emptyKey) counts.push_back(PairFaceCount{uint32_t(entry.key >> 32), uint32_t(entry.key), entry.faces});
        std::sort(counts.begin(), counts.end(), [](const PairFaceCount& p, const PairFaceCount& q) {
            return p.a != q.a ? p.a < q.a : p.b < q.b;
        });
        return counts;
    }

private:
    static constexpr uint64_t emptyKey = ~uint64_t{0};  // no pair a < b has it
    static constexpr size_t recentSlots = 4096;
    struct Entry {
        uint64_t key = emptyKey;
        std::array<uint64_t, 3> faces{};
    };

    void addToTable(const Entry& pair) {
        Entry* entry = &find(pair.key);
        if (entry->key == emptyKey) {
            entry->key = pair.key;
            if (++used_ * 2 > entries_.size()) {
                grow();
                entry = &find(pair.key);
            }
        }
        for (int axis = 0; axis < 3; ++axis) entry->faces[size_t(axis)] += pair.faces[size_t(axis)];
    }

    void flushRecent() {
        for (Entry& recent : recent_)
            if (recent.key != emptyKey) {
                addToTable(recent);
                recent = Entry{};
            }
    }

    Entry& find(uint64_t key) {
        const size_t mask = entries_.size() - 1;
        for (size_t slot = size_t((key * 0x9E3779B97F4A7C15ull) >> 20) & mask;; slot = (slot + 1) & mask)
            if (entries_[slot].key == key || entries_[slot].key == emptyKey) return entries_[slot];
    }

    void grow() {
        std::vector<Entry> old(entries_.size() * 2);
        old.swap(entries_);
        for (const Entry& entry : old)
            if (entry.key != emptyKey) find(entry.key) = entry;
    }

    std::vector<Entry> entries_;
    size_t used_ = 0;
    std::vector<Entry> recent_;
};

// Bit i set where a[i] != b[i], for i < count (at most 32).
inline uint32_t differingBits(const uint32_t* a, const uint32_t* b, int count) {
    if (count == 32) return ~equalBits(a, b);
    uint32_t bits = 0;
    for (int i = 0; i < count; ++i) bits |= uint32_t(a[i] != b[i]) << i;
    return bits;
}

// The faces between a row and the row beside it along one axis, gathered into runs of one pair: the
// pairs of a run of neighbouring faces are mostly the same.
class FaceRuns {
public:
    FaceRuns(PairFaces& faces, int axis) : faces_(faces), axis_(axis) {}
    void face(uint32_t a, uint32_t b, int x) {
        if (a != a_ || b != b_ || x != end_) {
            flush();
            a_ = a, b_ = b;
        }
        end_ = x + 1;
        ++count_;
    }
    void flush() {
        if (count_ != 0) faces_.add(a_, b_, axis_, count_);
        count_ = 0;
    }

private:
    PairFaces& faces_;
    int axis_;
    uint32_t a_ = 0, b_ = 0;
    int end_ = -1;
    uint64_t count_ = 0;
};

// The faces of planes [first, end) with their neighbours along x, y and z (the plane above), 32
// voxels at a time: where a word of them differs from its neighbours, its set bits name the faces.
void addPlanes(const uint32_t* labels, GridBox box, int first, int end, PairFaces& faces) {
    const size_t plane = size_t(box.x) * box.y;
    FaceRuns alongX(faces, 0), alongY(faces, 1), alongZ(faces, 2);
    for (int z = first; z < end; ++z)
        for (int y = 0; y < box.y; ++y) {
            const uint32_t* row = labels + z * plane + size_t(y) * box.x;
            const uint32_t* nextRow = y + 1 < box.y ? row + box.x : nullptr;
            const uint32_t* nextPlane = z + 1 < box.z ? row + plane : nullptr;
            for (int x0 = 0; x0 < box.x; x0 += 32) {
                const int count = std::min(32, box.x - x0);
                const uint32_t* at = row + x0;
                for (uint32_t bits = differingBits(at, at + 1, std::min(count, box.x - 1 - x0)); bits != 0;
                     bits &= bits - 1) {
                    const int i = std::countr_zero(bits);
                    alongX.face(at[i], at[i + 1], x0 + i);
                }
                if (nextRow != nullptr)
                    for (uint32_t bits = differingBits(at, nextRow + x0, count); bits != 0; bits &= bits - 1) {
                        const int i = std::countr_zero(bits);
                        alongY.face(at[i], nextRow[x0 + i], x0 + i);
                    }
                if (nextPlane != nullptr)
                    for (uint32_t bits = differingBits(at, nextPlane + x0, count); bits != 0; bits &= bits - 1) {
                        const int i = std::countr_zero(bits);
                        alongZ.face(at[i], nextPlane[x0 + i], x0 + i);
                    }
            }
            alongX.flush(), alongY.flush(), alongZ.flush();
        }
}

}  // namespace

std::vector<PairFaceCount> countPairFaces(const uint32_t* labels, GridBox box, int planes) {
    // Slabs of planes, one per host thread, each counted apart and then added up.
    const int threads = int(std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, unsigned(std::max(planes, 1))));
    std::vector<PairFaces> slabs(static_cast<size_t>(threads));
    std::vector<std::thread> workers;
    for (int t = 1; t < threads; ++t)
        workers.emplace_back([&, t] {
            addPlanes(labels, box, planes * t / threads, planes * (t + 1) / threads, slabs[size_t(t)]);
        });
    addPlanes(labels, box, 0, planes / threads, slabs[0]);
    for (std::thread& worker : workers) worker.join();
    for (int t = 1; t < threads; ++t) slabs[0].merge(slabs[size_t(t)]);
    return slabs[0].counts();
}

std::vector<formats::AdjacencyRow> adjacencyRows(std::vector<PairFaceCount> counts, const Spacing& s) {
    std::sort(counts.begin(), counts.end(), [](const PairFaceCount& p, const PairFaceCount& q) {
        return p.a != q.a ? p.a < q.a : p.b < q.b;
    });
    std::vector<formats::AdjacencyRow> rows;
    for (size_t i = 0; i < counts.size();) {
        std::array<uint64_t, 3> faces{};
        const size_t first = i;
        for (; i < counts.size() && counts[i].a == counts[first].a && counts[i].b == counts[first].b; ++i)
            for (int axis = 0; axis < 3; ++axis) faces[size_t(axis)] += counts[i].faces[size_t(axis)];
        const auto [x, y, z] = faces;
        rows.push_back(formats::AdjacencyRow{counts[first].a, counts[first].b, x + y + z,
                                             double(x) * (s[1] * s[2]) + double(y) * (s[0] * s[2]) +
                                                 double(z) * (s[0] * s[1])});
    }
    return rows;
}

std::vector<formats::AdjacencyRow> labelAdjacency(const std::vector<uint32_t>& labels, GridBox box,
                                                  const Spacing& spacing) {
    if (labels.size() != size_t(box.x) * box.y * box.z)
        throw std::invalid_argument("labelAdjacency: the labels do not fill the box");
    return adjacencyRows(countPairFaces(labels.data(), box, box.z), spacing);
}

}  // namespace cvt::volume
