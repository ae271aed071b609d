// The ranks through MPI. Every transfer of unknown size goes in pieces below MPI's int counts.
#include <mpi.h>

#include <algorithm>

#include "process_ranks.h"

namespace cvt {
namespace {

constexpr size_t largestPiece = size_t(1) << 30;

// Calls `transfer(offset, count)` over [0, total) in pieces that an int counts.
template <class Transfer>
void inPieces(size_t total, Transfer transfer) {
    for (size_t offset = 0; offset < total; offset += largestPiece)
        transfer(offset, int(std::min(largestPiece, total - offset)));
}

// MPI's reduction of 128-bit sums: two words each, added with the carry.
void addWideSums(void* in, void* inout, int* count, MPI_Datatype*) {
    const WideSum* from = static_cast<const WideSum*>(in);
    WideSum* into = static_cast<WideSum*>(inout);
    for (int i = 0; i < *count; ++i) into[i].add(from[i].value());
}

class MpiRanks : public RankGroup {
public:
    MpiRanks() {
        MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
        MPI_Comm_size(MPI_COMM_WORLD, &size_);
        MPI_Comm machine;
        MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, rank_, MPI_INFO_NULL, &machine);
        MPI_Comm_rank(machine, &localRank_);
        MPI_Comm_free(&machine);
        MPI_Type_contiguous(2, MPI_UINT64_T, &wideType_);
        MPI_Type_commit(&wideType_);
        MPI_Op_create(&addWideSums, 1, &addWide_);
    }
    ~MpiRanks() override {
        MPI_Op_free(&addWide_);
        MPI_Type_free(&wideType_);
    }
    int rank() const override { return rank_; }
    int size() const override { return size_; }
    int localRank() const override { return localRank_; }
    uint64_t bytesSent() const override { return sent_; }

    void sum(uint64_t* values, size_t count) override {
        sent_ += count * sizeof *values;
        inPieces(count, [&](size_t offset, int n) {
            MPI_Allreduce(MPI_IN_PLACE, values + offset, n, MPI_UINT64_T, MPI_SUM, MPI_COMM_WORLD);
        });
    }
    void sum(WideSum* values, size_t count) override {
        static_assert(sizeof(WideSum) == 2 * sizeof(uint64_t), "a wide sum travels as two 64-bit words");
        sent_ += count * sizeof *values;
        inPieces(count, [&](size_t offset, int n) {
            MPI_Allreduce(MPI_IN_PLACE, values + offset, n, wideType_, addWide_, MPI_COMM_WORLD);
        });
    }
    void maximum(double* values, size_t count) override {
        sent_ += count * sizeof *values;
        inPieces(count, [&](size_t offset, int n) {
            MPI_Allreduce(MPI_IN_PLACE, values + offset, n, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
        });
    }
    std::vector<std::vector<unsigned char>> gather(const void* bytes, size_t count) override {
        uint64_t mine = count;
        sent_ += sizeof mine;
        std::vector<uint64_t> counts(size_t(size_), 0);
        MPI_Allgather(&mine, 1, MPI_UINT64_T, counts.data(), 1, MPI_UINT64_T, MPI_COMM_WORLD);
        std::vector<std::vector<unsigned char>> all(static_cast<size_t>(size_));
        for (int from = 0; from < size_; ++from) {
            all[size_t(from)].resize(counts[size_t(from)]);
            if (from == rank_ && count > 0) std::memcpy(all[size_t(from)].data(), bytes, count);
            broadcast(all[size_t(from)].data(), all[size_t(from)].size(), from);
        }
        return all;
    }
    void broadcast(void* bytes, size_t count, int root) override {
        if (root == rank_) sent_ += count;
        inPieces(count, [&](size_t offset, int n) {
            MPI_Bcast(static_cast<unsigned char*>(bytes) + offset, n, MPI_BYTE, root, MPI_COMM_WORLD);
        });
    }
    void send(int to, const void* bytes, size_t count) override {
        sent_ += count;
        inPieces(count, [&](size_t offset, int n) {
            MPI_Send(static_cast<const unsigned char*>(bytes) + offset, n, MPI_BYTE, to, 0, MPI_COMM_WORLD);
        });
    }
    void receive(int from, void* bytes, size_t count) override {
        inPieces(count, [&](size_t offset, int n) {
            MPI_Recv(static_cast<unsigned char*>(bytes) + offset, n, MPI_BYTE, from, 0, MPI_COMM_WORLD,
                     MPI_STATUS_IGNORE);
        });
    }
    bool allSucceeded(bool succeeded) override {
        int all = succeeded ? 1 : 0;
        sent_ += sizeof all;
        MPI_Allreduce(MPI_IN_PLACE, &all, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
        return all == 1;
    }

private:
    void endEveryRank(int status) override { MPI_Abort(MPI_COMM_WORLD, status); }
    int rank_ = 0, size_ = 1, localRank_ = 0;
    MPI_Datatype wideType_;
    MPI_Op addWide_;
    uint64_t sent_ = 0;
};

}  // namespace

ProcessRanks::ProcessRanks(int& argc, char**& argv) {
    if (!launchedByMpi()) return;
    MPI_Init(&argc, &argv);
    started_ = true;
    auto ranks = std::make_unique<MpiRanks>();
    if (ranks->size() > 1) group_ = std::move(ranks);
}

ProcessRanks::~ProcessRanks() {
    group_.reset();
    if (started_) MPI_Finalize();
}

}  // namespace cvt
