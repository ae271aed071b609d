// The processes of a run split into slabs: each rank holds whole z planes of the grid, and all of them
// take every decision together from sums that every rank sees alike. The run talks to them only
// through this interface, so it knows nothing of the library that carries the messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "../centroid/region_moments.h"
#include "../device/failure.h"

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

// A process alone: the one rank of its own group, whose every collective operation is its own values.
class LoneRank final : public RankGroup {
public:
    int rank() const override { return 0; }
    int size() const override { return 1; }
    int localRank() const override { return 0; }
    uint64_t bytesSent() const override { return 0; }
    void sum(uint64_t*, size_t) override {}
    void sum(WideSum*, size_t) override {}
    void maximum(double*, size_t) override {}
    std::vector<std::vector<unsigned char>> gather(const void* bytes, size_t count) override {
        const unsigned char* begin = static_cast<const unsigned char*>(bytes);
        return {std::vector<unsigned char>(begin, begin + count)};
    }
    void broadcast(void*, size_t, int) override {}
    void send(int, const void*, size_t) override { throw Failure("a process alone has no rank to send to"); }
    void receive(int, void*, size_t) override { throw Failure("a process alone has no rank to receive from"); }
    bool allSucceeded(bool succeeded) override { return succeeded; }

private:
    void endEveryRank(int status) override { std::_Exit(status); }
};

// A failure that every rank of a run met together (onEveryRank throws these where there are several
// ranks): each rank can end as one process does, without waiting for the others.
class FailureOfEveryRank {};
template <class Kind>
class EveryRankFailure : public Kind, public FailureOfEveryRank {
public:
    using Kind::Kind;
};

// Runs `step` on this rank as a phase that every rank leaves together, failed or not: where it failed on
// any rank, every rank throws the failure of the lowest rank that failed, of its kind (invalid input,
// memory, or another failure), so that no rank goes on to wait for the others in a collective step. A
// process alone throws what the step threw.
template <class Step>
void onEveryRank(RankGroup& ranks, Step&& step) {
    if (ranks.size() == 1) {
        step();
        return;
    }
    std::string failure;  // a letter of the kind, then the message
    try {
        step();
    } catch (const InvalidInput& e) {
        failure = std::string("I") + e.what();
    } catch (const MemoryShortfall& e) {
        failure = std::string("M") + e.what();
    } catch (const Failure& e) {
        failure = std::string("F") + e.what();
    } catch (const std::bad_alloc&) {
        failure = "Fout of host memory";
    }
    for (const std::vector<unsigned char>& other : ranks.gather(failure.data(), failure.size())) {
        if (other.empty()) continue;
        const std::string message(other.begin() + 1, other.end());
        if (other[0] == 'I') throw EveryRankFailure<InvalidInput>(message);
        if (other[0] == 'M') throw EveryRankFailure<MemoryShortfall>(message);
        throw EveryRankFailure<Failure>(message);
    }
}

}  // namespace cvt
