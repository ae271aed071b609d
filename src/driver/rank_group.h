// The processes of a run split into slabs: each rank holds whole z planes of the grid, and all of them
// take every decision together from sums that every rank sees alike. The run talks to them only
// through this interface, so it knows nothing of the library that carries the messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../centroid/region_moments.h"

namespace cvt {

class RankGroup {
public:
    virtual ~RankGroup() = default;
    virtual int rank() const = 0;
    virtual int size() const = 0;
    // The rank's place among the ranks of its own machine: which of the machine's GPUs it takes.
    virtual int localRank() const = 0;
    // The bytes this rank has given the others so far: its own values in every sum and gather, what
    // it broadcast as the root, and what it sent.
    virtual uint64_t bytesSent() const = 0;

    // Every rank's values added element by element, the totals on every rank. Integer sums come out
    // the same in any order; 128-bit ones wrap as integers do.
    virtual void sum(uint64_t* values, size_t count) = 0;
    virtual void sum(WideSum* values, size_t count) = 0;
    // The largest of every rank's values, element by element, on every rank.
    virtual void maximum(double* values, size_t count) = 0;
    // Every rank's bytes, in rank order, on every rank.
    virtual std::vector<std::vector<unsigned char>> gather(const void* bytes, size_t count) = 0;
    // Root's bytes into every rank's `bytes` (the same count on every rank).
    virtual void broadcast(void* bytes, size_t count, int root) = 0;
    // Point to point, of any size.
    virtual void send(int to, const void* bytes, size_t count) = 0;
    virtual void receive(int from, void* bytes, size_t count) = 0;
    // Whether every rank says it succeeded: a point that every rank reaches, failed or not.
    virtual bool allSucceeded(bool succeeded) = 0;
    // Ends every rank at once with `status`: for a failure where the other ranks may be waiting for
    // this one in a collective step and cannot be told otherwise.
    [[noreturn]] void abandon(int status) {
        endEveryRank(status);
        std::_Exit(status);  // should the library's abort ever return, this rank still ends here
    }

    // A computation that runs through the ranks in order, as one process would run it through the
    // planes: `step` continues on `values` from where the rank below left them, and the last rank's
    // values reach every rank. What a float sum in voxel order needs to give one process's bits.
    template <class T, class Step>
    void inRankOrder(std::vector<T>& values, Step step) {
        const size_t bytes = values.size() * sizeof(T);
        if (rank() > 0) receive(rank() - 1, values.data(), bytes);
        step(values);
        if (rank() + 1 < size()) send(rank() + 1, values.data(), bytes);
        broadcast(values.data(), bytes, size() - 1);
    }

protected:
    virtual void endEveryRank(int status) = 0;

public:
    // Every rank's values of a plain type, in rank order, on every rank.
    template <class T>
    std::vector<std::vector<T>> gatherEach(const std::vector<T>& mine) {
        std::vector<std::vector<T>> each;
        for (const std::vector<unsigned char>& bytes : gather(mine.data(), mine.size() * sizeof(T))) {
            std::vector<T>& values = each.emplace_back(bytes.size() / sizeof(T));
            if (!bytes.empty()) std::memcpy(static_cast<void*>(values.data()), bytes.data(), bytes.size());
        }
        return each;
    }

    // The same, concatenated.
    template <class T>
    std::vector<T> gatherAll(const std::vector<T>& mine) {
        std::vector<T> all;
        for (const std::vector<T>& values : gatherEach(mine)) all.insert(all.end(), values.begin(), values.end());
        return all;
    }
};

}  // namespace cvt
