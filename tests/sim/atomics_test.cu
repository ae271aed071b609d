// Atomic additions stay exact, and never wait forever, whatever the number of launches made before
// and whatever the number of host threads that run a launch.
#include <omp.h>

#include <string>
#include <vector>

#include "device_test_support.h"

CVT_BEGIN_NAMESPACE
namespace {

// Block b adds into counter b / blocksPerCounter, the counters a page apart. Each host thread starts
// on a range of blocks of its own, so it still owns the pages of its counters when the launch ends.
constexpr int countersApart = 1024;
constexpr int counterCount = 64, blocks = 2048, threads = 32;
__global__ void kernelAddIntoBlockCounters(float* floats, int* ints) {
    const int counter = blockIdx.x / (blocks / counterCount) * countersApart;
    atomicAdd(&floats[counter], 1.0f);
    atomicAdd(&ints[counter], 1);
}

__global__ void kernelNothing(int*) {}

// Restores the OpenMP settings that a test changes.
class OpenMpSettings {
public:
    ~OpenMpSettings() {
        omp_set_num_threads(threads_);
        omp_set_dynamic(dynamic_);
        omp_set_max_active_levels(levels_);
    }

private:
    int threads_ = omp_get_max_threads(), dynamic_ = omp_get_dynamic(), levels_ = omp_get_max_active_levels();
};

// The counters stay at one address, so that the page states of one launch are those that a later
// launch finds.
class AtomicsTest : public DeviceTest {
protected:
    // Counts into the counters and returns what went wrong, if anything.
    std::string countIntoBlockCounters() {
        try {
            checkCuda(cudaMemset(floats_.get(), 0, floats_.bytes()), "clearing the counters");
            checkCuda(cudaMemset(ints_.get(), 0, ints_.bytes()), "clearing the counters");
            LAUNCH_KERNEL(kernelAddIntoBlockCounters, dim3(blocks), dim3(threads), 0, floats_.get(), ints_.get());
            const std::vector<float> floatTotals = floats_.download();
            const std::vector<int> intTotals = ints_.download();
            const int expected = blocks / counterCount * threads;
            for (int c = 0; c < counterCount; ++c)
                if (floatTotals[c * countersApart] != float(expected) || intTotals[c * countersApart] != expected)
                    return "counter " + std::to_string(c) + " holds " + std::to_string(floatTotals[c * countersApart]) +
                           " and " + std::to_string(intTotals[c * countersApart]) + ", not " + std::to_string(expected);
        } catch (const Failure& failure) {
            return failure.what();
        }
        return "";
    }

private:
    DeviceArray<float> floats_{counterCount * countersApart};
    DeviceArray<int> ints_{counterCount * countersApart};
};

TEST_F(AtomicsTest, SumsAreExactAcrossTheLaunchCounterWrapWithAnyNumberOfHostThreads) {
    const OpenMpSettings restore;
    omp_set_dynamic(0);
    omp_set_num_threads(4);
    EXPECT_EQ(countIntoBlockCounters(), "") << "4 host threads";
    // The launch epoch has 16 bits: after this many launches it comes back to the one above, whose
    // page states name host threads 1 to 3 as owners.
    DeviceArray<int> unused(1);
    for (int launch = 0; launch < 0xFFFF - 1; ++launch) LAUNCH_KERNEL(kernelNothing, dim3(1), dim3(1), 0, unused.get());

    // A launch from inside a parallel region gets one host thread where it asks for four.
    omp_set_max_active_levels(1);
    std::string nested;
#pragma omp parallel num_threads(2)
    if (omp_get_thread_num() == 0) nested = countIntoBlockCounters();
    EXPECT_EQ(nested, "") << "1 host thread of 4 asked for";

    omp_set_num_threads(1);
    EXPECT_EQ(countIntoBlockCounters(), "") << "1 host thread";
    omp_set_num_threads(3 * omp_get_num_procs());
    EXPECT_EQ(countIntoBlockCounters(), "") << "3 host threads per core";
    omp_set_dynamic(1);  // the runtime may give fewer than asked for
    omp_set_num_threads(64);
    EXPECT_EQ(countIntoBlockCounters(), "") << "64 host threads asked for, dynamic adjustment";
}

}  // namespace
CVT_END_NAMESPACE
