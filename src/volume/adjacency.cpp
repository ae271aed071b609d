#include "adjacency.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <thread>

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

    std::vector<formats::AdjacencyRow> rows(const Spacing& s) {
        flushRecent();
        std::vector<formats::AdjacencyRow> rows;
        for (const Entry& entry : entries_) {
            if (entry.key == emptyKey) continue;
            const auto [x, y, z] = entry.faces;
            rows.push_back(formats::AdjacencyRow{uint32_t(entry.key >> 32), uint32_t(entry.key), x + y + z,
                                                 double(x) * (s[1] * s[2]) + double(y) * (s[0] * s[2]) +
                                                     double(z) * (s[0] * s[1])});
        }
        std::sort(rows.begin(), rows.end(), [](const formats::AdjacencyRow& p, const formats::AdjacencyRow& q) {
            return p.a != q.a ? p.a < q.a : p.b < q.b;
        });
        return rows;
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

// The first x from `from` on with a[x] != b[x], or `width`: most neighbours carry one label, so the
// scan compares eight at a time (a loop the compiler turns into vector operations) and branches once.
int firstDifference(const uint32_t* a, const uint32_t* b, int from, int width) {
    int x = from;
    for (; x + 8 <= width; x += 8) {
        uint32_t differ = 0;
        for (int i = 0; i < 8; ++i) differ |= a[x + i] ^ b[x + i];
        if (differ != 0) break;
    }
    while (x < width && a[x] == b[x]) ++x;
    return x;
}

// Adds the faces between row `row` and the row `other` beside it (along `axis`), run by run.
void addBetweenRows(const uint32_t* row, const uint32_t* other, int width, int axis, PairFaces& faces) {
    for (int x = firstDifference(row, other, 0, width); x < width; x = firstDifference(row, other, x, width)) {
        const uint32_t a = row[x], b = other[x];
        const int start = x;
        while (x < width && row[x] == a && other[x] == b) ++x;
        faces.add(a, b, axis, uint64_t(x - start));
    }
}

// The faces of planes [first, end) with their neighbours along x and y, and with the plane above.
void addPlanes(const uint32_t* labels, GridBox box, int first, int end, PairFaces& faces) {
    const size_t plane = size_t(box.x) * box.y;
    for (int z = first; z < end; ++z)
        for (int y = 0; y < box.y; ++y) {
            const uint32_t* row = labels + z * plane + size_t(y) * box.x;
            for (int x = firstDifference(row, row + 1, 0, box.x - 1); x < box.x - 1;
                 x = firstDifference(row, row + 1, x + 1, box.x - 1))
                faces.add(row[x], row[x + 1], 0, 1);
            if (y + 1 < box.y) addBetweenRows(row, row + box.x, box.x, 1, faces);
            if (z + 1 < box.z) addBetweenRows(row, row + plane, box.x, 2, faces);
        }
}

}  // namespace

std::vector<formats::AdjacencyRow> labelAdjacency(const std::vector<uint32_t>& labels, GridBox box,
                                                  const Spacing& spacing) {
    if (labels.size() != size_t(box.x) * box.y * box.z)
        throw std::invalid_argument("labelAdjacency: the labels do not fill the box");
    // Slabs of planes, one per host thread, each counted apart and then added up.
    const int threads = int(std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, unsigned(std::max(box.z, 1))));
    std::vector<PairFaces> slabs(static_cast<size_t>(threads));
    std::vector<std::thread> workers;
    for (int t = 1; t < threads; ++t)
        workers.emplace_back([&, t] { addPlanes(labels.data(), box, box.z * t / threads, box.z * (t + 1) / threads, slabs[size_t(t)]); });
    addPlanes(labels.data(), box, 0, box.z / threads, slabs[0]);
    for (std::thread& worker : workers) worker.join();
    for (int t = 1; t < threads; ++t) slabs[0].merge(slabs[size_t(t)]);
    return slabs[0].rows(spacing);
}

}  // namespace cvt::volume
