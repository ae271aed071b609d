// Comparing a host fast path with the simulated kernel it stands in for.
#pragma once

#include <cstring>
#include <random>
#include <vector>

#include "device/fast_path.h"
#include "device_test_support.h"

CVT_BEGIN_NAMESPACE

// Every test leaves fast paths as it found them (off, in a run with CVT_SIM_FAST_PATHS=0).
class FastPathTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        enabledBefore_ = fastPathsEnabled();
    }
    void TearDown() override { setFastPathsEnabled(enabledBefore_); }

private:
    bool enabledBefore_ = true;
};

// What `launch` leaves in a device array of `count` elements that starts as `initial`, simulated
// (fast paths off) and by the fast path, which must have run.
template <class T, class Launch>
std::pair<std::vector<T>, std::vector<T>> bothWays(const std::vector<T>& initial, Launch launch) {
    const bool enabledBefore = fastPathsEnabled();
    std::pair<std::vector<T>, std::vector<T>> results;
    for (bool fast : {false, true}) {
        setFastPathsEnabled(fast);
        DeviceArray<T> array(initial);
        const uint64_t fastLaunches = hostFastPathLaunches();
        launch(array.get());
        if (fast) EXPECT_GT(hostFastPathLaunches(), fastLaunches) << "no fast path ran";
        (fast ? results.second : results.first) = array.download();
    }
    setFastPathsEnabled(enabledBefore);
    return results;
}

// The same bytes from both, starting from random bytes (so that every element a launch leaves alone
// is compared too).
template <class T, class Launch>
void expectSameBytes(size_t count, Launch launch, unsigned seed = 1) {
    std::vector<T> initial(count);
    std::mt19937 random(seed);
    std::vector<unsigned char> bytes(count * sizeof(T));
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
    std::memcpy(initial.data(), bytes.data(), bytes.size());
    const auto [simulated, fast] = bothWays(initial, launch);
    ASSERT_EQ(std::memcmp(simulated.data(), fast.data(), count * sizeof(T)), 0) << "the fast path differs";
}

CVT_END_NAMESPACE
