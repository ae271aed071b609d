// The device layer: kernels whose results are only right if barriers, warp barriers, shared memory,
// atomics, launch limits and copies behave as CUDA's do.
#include <algorithm>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device_test_support.h"

CVT_BEGIN_NAMESPACE
namespace {

constexpr int reverseBlock = 256;

// Each block reverses its slice through shared memory: wrong unless every write precedes every read.
__global__ void kernelReverseThroughShared(const int* input, int* output) {
    __shared__ int tile[reverseBlock];
    const int t = threadIdx.x;
    const int base = blockIdx.x * reverseBlock;
    tile[t] = input[base + t];
    __syncthreads();
    output[base + t] = tile[reverseBlock - 1 - t];
}

// Rotates a tile by one place `rounds` times, each round a read, a barrier, a write and a barrier:
// any thread that runs ahead through a barrier reads a value of the wrong round.
__global__ void kernelRotateRounds(int* values, int rounds) {
    __shared__ int tile[128];
    const int t = threadIdx.y * blockDim.x + threadIdx.x;
    const int count = blockDim.x * blockDim.y;
    tile[t] = values[t];
    __syncthreads();
    for (int round = 0; round < rounds; ++round) {
        const int next = tile[(t + 1) % count] + 1;
        __syncthreads();
        tile[t] = next;
        __syncthreads();
    }
    values[blockIdx.x * count + t] = tile[t];
}

// Sums each warp's 32 values by a tree in shared memory ordered with __syncwarp only.
__global__ void kernelWarpSums(const int* input, int* sums) {
    __shared__ int lanes[64];
    const int t = threadIdx.x;
    lanes[t] = input[t];
    __syncwarp();
    for (int stride = 16; stride > 0; stride /= 2) {
        const int lane = t % 32;
        const int mine = lanes[t];
        const int other = lane < stride ? lanes[t + stride] : 0;
        __syncwarp();
        lanes[t] = mine + other;
        __syncwarp();
    }
    if (t % 32 == 0) sums[t / 32] = lanes[t];
}

// Reverses each block's slice through dynamic shared memory of blockDim.x ints.
__global__ void kernelReverseThroughDynamicShared(const int* input, int* output) {
    int* slots = dynamicShared<int>();
    const int t = threadIdx.x;
    const int n = blockDim.x;
    slots[t] = input[blockIdx.x * n + t];
    __syncthreads();
    output[blockIdx.x * n + t] = slots[n - 1 - t];
}

__global__ void kernelAccumulate(float* floatTotal, int* histogram, int bins) {
    atomicAdd(floatTotal, 1.0f);
    atomicAdd(&histogram[(blockIdx.x * blockDim.x + threadIdx.x) % bins], 1);
}

// Counters one page (4 KiB) apart. Runs of consecutive blocks share a counter, so each counter is
// first used by whichever host thread or multiprocessor runs its first blocks and then by others;
// every fourth thread also adds into a counter that all blocks use. Each thread records the value
// its addition returned; its float addition comes after a barrier, in the middle of the block.
constexpr int countersApart = 1024;
__global__ void kernelCountIntoSharedCounters(int* counters, float* floatCounters, int* returned, int blocksPerCounter,
                                              int counterCount) {
    const int thread = blockIdx.x * blockDim.x + threadIdx.x;
    const bool everyone = threadIdx.x % 4 == 0;
    const int counter = everyone ? counterCount - 1 : int(blockIdx.x) / blocksPerCounter % (counterCount - 1);
    returned[thread] = atomicAdd(&counters[counter * countersApart], 1);
    __syncthreads();
    atomicAdd(&floatCounters[counter * countersApart], 1.0f);
}

// Writes each voxel's own index: a barrier-free voxel kernel in the program's launch shape.
__global__ void kernelWriteIndex(int* volume, int n) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const int index = (z * n + y) * n + x;
    volume[index] = index;
}

// Only odd blocks synchronise: a barrier that is uniform within each block but not across the grid.
__global__ void kernelBarrierInOddBlocks(int* values) {
    __shared__ int tile[64];
    const int t = threadIdx.x;
    const int base = blockIdx.x * 64;
    if (blockIdx.x % 2 == 1) {
        tile[t] = values[base + t];
        __syncthreads();
        values[base + t] = tile[63 - t];
    } else {
        values[base + t] = -values[base + t];
    }
}

// Threads outside [first, last) exit at once; the others rotate a tile through `rounds` barriers.
// The first thread to reach a barrier need not be thread 0, and the exited threads must not hold
// the barrier up.
constexpr int survivorBlock = 256;
__global__ void kernelRotateSurvivors(int* values, int first, int last, int rounds) {
    __shared__ int tile[survivorBlock];
    const int t = threadIdx.x;
    if (t < first || t >= last) return;
    const int count = last - first;
    int* const slice = values + blockIdx.x * survivorBlock;
    tile[t] = slice[t];
    for (int round = 0; round < rounds; ++round) {
        __syncthreads();
        const int next = tile[first + (t - first + 1) % count] + 1;
        __syncthreads();
        tile[t] = next;
    }
    slice[t] = tile[t];
}

// Sums groups of `groupLanes` lanes by a tree ordered with __syncwarp over each group's mask only.
// Warp 0 and the threads from `active` on exit before any barrier, so the groups of the last warps
// are partial and the first barrier is reached by thread 32.
constexpr int groupSumBlock = 128;
__global__ void kernelGroupSums(const int* input, int* sums, int active, int groupLanes) {
    __shared__ int values[groupSumBlock];
    const int t = threadIdx.x;
    if (t < 32 || t >= active) return;
    const int lane = t % 32, offset = lane % groupLanes;
    const unsigned group = (groupLanes == 32 ? ~0u : (1u << groupLanes) - 1) << (lane - offset);
    values[t] = input[t];
    for (int stride = groupLanes / 2; stride > 0; stride /= 2) {
        __syncwarp(group);
        const int other = offset < stride && t + stride < active ? values[t + stride] : 0;
        __syncwarp(group);
        values[t] += other;
    }
    if (offset == 0) sums[t / groupLanes] = values[t];
}

__global__ void kernelNothing(int*) {}

std::vector<int> iota(size_t count, int first = 0) {
    std::vector<int> values(count);
    std::iota(values.begin(), values.end(), first);
    return values;
}

using DeviceLayerTest = DeviceTest;

TEST_F(DeviceLayerTest, BarrierOrdersSharedMemoryWithinEachBlock) {
    const int blocks = 37;
    const std::vector<int> input = iota(blocks * reverseBlock, 1000);
    DeviceArray<int> in(input), out(input.size());
    LAUNCH_KERNEL(kernelReverseThroughShared, dim3(blocks), dim3(reverseBlock), 0, in.get(), out.get());
    const std::vector<int> result = out.download();
    for (int b = 0; b < blocks; ++b)
        for (int t = 0; t < reverseBlock; ++t)
            ASSERT_EQ(result[b * reverseBlock + t], input[b * reverseBlock + reverseBlock - 1 - t]);
}

TEST_F(DeviceLayerTest, RepeatedBarriersKeepTwoDimensionalBlocksInStep) {
    const int rounds = 45, count = 128;
    DeviceArray<int> values(iota(count));
    LAUNCH_KERNEL(kernelRotateRounds, dim3(1), dim3(32, 4), 0, values.get(), rounds);
    const std::vector<int> result = values.download();
    for (int t = 0; t < count; ++t) ASSERT_EQ(result[t], (t + rounds) % count + rounds) << "thread " << t;
}

TEST_F(DeviceLayerTest, SyncwarpOrdersAWarpTree) {
    const std::vector<int> input = iota(64, 1);
    DeviceArray<int> in(input), sums(2);
    LAUNCH_KERNEL(kernelWarpSums, dim3(1), dim3(64), 0, in.get(), sums.get());
    EXPECT_EQ(sums.download(), (std::vector<int>{32 * 33 / 2, (33 + 64) * 32 / 2}));
}

TEST_F(DeviceLayerTest, DynamicSharedMemoryHasTheLaunchSize) {
    for (int threads : {32, 200, 1024}) {
        const int blocks = 5;
        const std::vector<int> input = iota(blocks * threads);
        DeviceArray<int> in(input), out(input.size());
        LAUNCH_KERNEL(kernelReverseThroughDynamicShared, dim3(blocks), dim3(threads), threads * sizeof(int), in.get(),
                      out.get());
        const std::vector<int> result = out.download();
        for (int i = 0; i < blocks * threads; ++i)
            ASSERT_EQ(result[i], input[i / threads * threads + threads - 1 - i % threads]) << threads;
    }
}

TEST_F(DeviceLayerTest, ConcurrentAtomicsLoseNoUpdate) {
    const int blocks = 4096, threads = 256, bins = 7;
    DeviceArray<float> total(std::vector<float>{0.0f});
    DeviceArray<int> histogram(std::vector<int>(bins, 0));
    LAUNCH_KERNEL(kernelAccumulate, dim3(blocks), dim3(threads), 0, total.get(), histogram.get(), bins);
    // Every partial sum is an integer below 2^24, so float addition is exact in any order.
    EXPECT_EQ(total.download()[0], static_cast<float>(blocks * threads));
    const std::vector<int> counts = histogram.download();
    for (int bin = 0; bin < bins; ++bin) {
        int expected = 0;
        for (int i = 0; i < blocks * threads; ++i) expected += i % bins == bin;
        EXPECT_EQ(counts[bin], expected) << "bin " << bin;
    }
}

TEST_F(DeviceLayerTest, AtomicsReturnEachOldValueOnceWhileCountersChangeHands) {
    const int blocks = 4096, threads = 64, counters = 9;
    for (int blocksPerCounter : {1, 37, 512}) {
        for (int launch = 0; launch < 3; ++launch) {
            DeviceArray<int> counts(std::vector<int>(counters * countersApart, 0));
            DeviceArray<float> floatCounts(std::vector<float>(counters * countersApart, 0.0f));
            DeviceArray<int> returned(blocks * threads);
            LAUNCH_KERNEL(kernelCountIntoSharedCounters, dim3(blocks), dim3(threads), 0, counts.get(),
                          floatCounts.get(), returned.get(), blocksPerCounter, counters);
            // The additions to one counter returned exactly 0, 1, ..., total - 1: none was lost or seen twice.
            std::vector<std::vector<int>> seen(counters);
            const std::vector<int> old = returned.download();
            for (int t = 0; t < blocks * threads; ++t) {
                const bool everyone = t % threads % 4 == 0;
                seen[everyone ? counters - 1 : t / threads / blocksPerCounter % (counters - 1)].push_back(old[t]);
            }
            const std::vector<int> totals = counts.download();
            const std::vector<float> floatTotals = floatCounts.download();
            for (int c = 0; c < counters; ++c) {
                std::sort(seen[c].begin(), seen[c].end());
                std::vector<int> expected(seen[c].size());
                std::iota(expected.begin(), expected.end(), 0);
                ASSERT_EQ(seen[c], expected) << "counter " << c << ", " << blocksPerCounter << " blocks per counter";
                ASSERT_EQ(totals[c * countersApart], int(expected.size())) << c;
                ASSERT_EQ(floatTotals[c * countersApart], float(expected.size())) << c;  // exact below 2^24
            }
        }
    }
}

TEST_F(DeviceLayerTest, VoxelKernelCoversTheCubeExactlyOnce) {
    const int n = 64;
    DeviceArray<int> volume(std::vector<int>(n * n * n, -1));
    LAUNCH_KERNEL(kernelWriteIndex, dim3(n / 32, n / 4, n), dim3(32, 4, 1), 0, volume.get(), n);
    EXPECT_EQ(volume.download(), iota(n * n * n));
}

TEST_F(DeviceLayerTest, BarrierMayDependOnTheBlock) {
    const int blocks = 50;
    const std::vector<int> input = iota(blocks * 64, 1);
    DeviceArray<int> values(input);
    LAUNCH_KERNEL(kernelBarrierInOddBlocks, dim3(blocks), dim3(64), 0, values.get());
    const std::vector<int> result = values.download();
    for (int i = 0; i < blocks * 64; ++i) {
        const int block = i / 64, t = i % 64;
        ASSERT_EQ(result[i], block % 2 ? input[block * 64 + 63 - t] : -input[i]) << i;
    }
}

TEST_F(DeviceLayerTest, ExitedThreadsCountAsArrivedAtBlockBarriers) {
    const int blocks = 3, rounds = 5;
    const std::vector<int> input = iota(blocks * survivorBlock, 1);
    const std::pair<int, int> survivorRanges[] = {{0, 256}, {1, 256}, {0, 1}, {255, 256}, {37, 200}, {100, 131}};
    for (const auto& [first, last] : survivorRanges) {
        DeviceArray<int> values(input);
        LAUNCH_KERNEL(kernelRotateSurvivors, dim3(blocks), dim3(survivorBlock), 0, values.get(), first, last, rounds);
        const std::vector<int> result = values.download();
        for (int i = 0; i < blocks * survivorBlock; ++i) {
            const int t = i % survivorBlock, base = i - t, count = last - first;
            const int expected = t < first || t >= last ? input[i] : input[base + first + (t - first + rounds) % count] + rounds;
            ASSERT_EQ(result[i], expected) << "threads [" << first << ", " << last << "), thread " << t;
        }
    }
}

TEST_F(DeviceLayerTest, SyncwarpWaitsForTheLanesOfItsMaskOnly) {
    const std::vector<int> input = iota(groupSumBlock, 1);
    for (int groupLanes : {2, 4, 16, 32}) {
        for (int active : {128, 100, 77, 40, 33}) {
            DeviceArray<int> in(input), sums(std::vector<int>(groupSumBlock, -1));
            LAUNCH_KERNEL(kernelGroupSums, dim3(1), dim3(groupSumBlock), 0, in.get(), sums.get(), active, groupLanes);
            std::vector<int> expected(groupSumBlock, -1);
            for (int t = 32; t < active; ++t) {
                int& sum = expected[t / groupLanes];
                sum = (sum < 0 ? 0 : sum) + input[t];
            }
            EXPECT_EQ(sums.download(), expected) << groupLanes << " lanes per group, " << active << " threads active";
        }
    }
}

// Two host threads launch kernels with atomics and barriers at the same time, each into its own
// arrays: every launch computes what it would alone.
TEST_F(DeviceLayerTest, HostThreadsLaunchingAtOnceDoNotDisturbEachOther) {
    const int blocks = 1024, threads = reverseBlock, launches = 40;
    auto launchRepeatedly = [&](int seed, std::string& error) {
        try {
            const std::vector<int> input = iota(blocks * threads, seed);
            DeviceArray<int> in(input), out(input.size()), count(1);
            DeviceArray<float> total(1);
            for (int launch = 0; launch < launches && error.empty(); ++launch) {
                checkCuda(cudaMemset(total.get(), 0, total.bytes()), "clearing the total");
                checkCuda(cudaMemset(count.get(), 0, count.bytes()), "clearing the count");
                LAUNCH_KERNEL(kernelAccumulate, dim3(blocks), dim3(threads), 0, total.get(), count.get(), 1);
                LAUNCH_KERNEL(kernelReverseThroughShared, dim3(blocks), dim3(threads), 0, in.get(), out.get());
                const std::vector<int> reversed = out.download();
                if (count.download()[0] != blocks * threads || total.download()[0] != float(blocks * threads))
                    error = "lost additions in launch " + std::to_string(launch);
                for (int i = 0; i < blocks * threads; ++i)
                    if (reversed[i] != input[i / threads * threads + threads - 1 - i % threads])
                        error = "wrong reversal in launch " + std::to_string(launch);
            }
        } catch (const Failure& failure) {
            error = failure.what();
        }
    };
    std::string firstError, secondError;
    std::thread second(launchRepeatedly, 1000000, std::ref(secondError));
    launchRepeatedly(0, firstError);
    second.join();
    EXPECT_EQ(firstError, "");
    EXPECT_EQ(secondError, "");
}

// Launches beyond the limits of a compute-capability 7.5 device fail with CUDA's status, run nothing,
// and leave the device usable.
TEST_F(DeviceLayerTest, LaunchesBeyondTheLimitsAreReportedAsErrors) {
    DeviceArray<int> scratch(1);
    struct Case {
        dim3 grid, block;
        size_t shared;
    };
    const Case rejected[] = {
        {dim3(1), dim3(1025), 0},         {dim3(1), dim3(32, 33), 0},    {dim3(1), dim3(1, 1, 65), 0},
        {dim3(1, 65536), dim3(32), 0},    {dim3(1, 1, 65536), dim3(32), 0}, {dim3(1), dim3(32), 48 * 1024 + 1},
        {dim3(0), dim3(32), 0},           {dim3(1), dim3(0), 0},
    };
    for (const Case& c : rejected) {
        try {
            LAUNCH_KERNEL(kernelNothing, c.grid, c.block, c.shared, scratch.get());
            ADD_FAILURE() << "launch accepted: block " << c.block.x << "x" << c.block.y << "x" << c.block.z;
        } catch (const Failure& failure) {
            const std::string message = failure.what();
            // Devices that can opt in to more shared memory may call the excess an invalid argument.
            const bool expected = message.find("invalid configuration argument") != std::string::npos ||
                                  (c.shared > 0 && message.find("invalid argument") != std::string::npos);
            EXPECT_TRUE(expected) << message;
            EXPECT_NE(message.find("kernelNothing"), std::string::npos) << message;
        }
    }
    EXPECT_NO_THROW(LAUNCH_KERNEL(kernelNothing, dim3(1), dim3(1024), 48 * 1024, scratch.get()));
    EXPECT_NO_THROW(LAUNCH_KERNEL(kernelNothing, dim3(2, 65535, 2), dim3(1, 1, 64), 0, scratch.get()));
    checkCuda(cudaDeviceSynchronize(), "synchronising after the launches");
}

// An allocation beyond the device's memory fails as out of memory, leaves no sticky error and
// takes nothing.
TEST_F(DeviceLayerTest, AllocationsBeyondTheDeviceMemoryFail) {
    size_t free = 0, total = 0;
    checkCuda(cudaMemGetInfo(&free, &total), "querying the device memory");
    EXPECT_GT(total, 0u);
    EXPECT_LE(free, total);
    for (size_t bytes : {total + 1, free + total / 2, ~size_t{0}, ~size_t{0} - 100}) {
        void* memory = &free;
        EXPECT_EQ(cudaMalloc(&memory, bytes), cudaErrorMemoryAllocation) << bytes << " bytes";
        EXPECT_EQ(memory, nullptr);
        EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
    DeviceArray<int> stillUsable(iota(1000));
    EXPECT_EQ(stillUsable.download(), iota(1000));
}

TEST_F(DeviceLayerTest, CopiesRoundTripBothWays) {
    const std::vector<int> values = iota(100003, -50000);
    DeviceArray<int> first(values), second(values.size());
    checkCuda(cudaMemcpy(second.get(), first.get(), first.bytes(), cudaMemcpyDeviceToDevice), "device copy");
    EXPECT_EQ(second.download(), values);
    std::vector<int> part(10);
    checkCuda(cudaMemcpy(part.data(), first.get() + 5, 10 * sizeof(int), cudaMemcpyDeviceToHost), "partial copy");
    EXPECT_EQ(part, iota(10, -49995));
}

}  // namespace
CVT_END_NAMESPACE
