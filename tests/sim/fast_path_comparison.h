// Comparing a host fast path with the simulated kernel it stands in for.
#pragma once

#include <cstring>
#include <random>
#include <vector>

#include "device/fast_path.h"
#include "device_test_support.h"

CVT_BEGIN_NAMESPACE

// Fast paths are switched on again after every test.
class FastPathTest : public DeviceTest {
protected:
    void TearDown() override { setFastPathsEnabled(true); }
};

// What `launch` leaves in a device array of `count` elements that starts as `initial`, simulated
// (fast paths off) and by the fast path.
template <class T, class Launch>
std::pair<std::vector<T>, std::vector<T>> bothWays(const std::vector<T>& initial, Launch launch) {
    std::pair<std::vector<T>, std::vector<T>> results;
    for (bool fast : {false, true}) {
        setFastPathsEnabled(fast);
        DeviceArray<T> array(initial);
        launch(array.get());
        (fast ? results.second : results.first) = array.download();
    }
    setFastPathsEnabled(true);
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
