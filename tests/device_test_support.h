// Test support shared by the kernel tests of both backends.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "device/device.h"
#include "device/device_array.h"

CVT_BEGIN_NAMESPACE

// Base of every test that needs the device: skips, with the reason, where the backend cannot run.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = unavailableReason()) GTEST_SKIP() << *why;
    }
};

// Copies `count` elements of a device volume to the host.
template <class T>
std::vector<T> downloadVolume(const T* device, size_t count) {
    std::vector<T> values(count);
    checkCuda(cudaMemcpy(values.data(), device, count * sizeof(T), cudaMemcpyDeviceToHost), "test download");
    return values;
}

template <class T>
void uploadVolume(T* device, const std::vector<T>& values) {
    checkCuda(cudaMemcpy(device, values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice), "test upload");
}

CVT_END_NAMESPACE
