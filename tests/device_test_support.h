// Test support shared by the kernel tests of both backends.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/device.h"
#include "device/device_array.h"
#include "host/site_code.h"

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

// `count` codes of a site volume of the buffer set, from voxel `first` on, in the width `wide` says,
// as 64-bit codes.
inline std::vector<int64_t> downloadCodes(const int* volume, int64_t first, size_t count, bool wide) {
    return withCodeType(wide, [&](auto code) {
        using Code = decltype(code);
        const std::vector<Code> codes = downloadVolume(codesIn<Code>(volume) + first, count);
        return std::vector<int64_t>(codes.begin(), codes.end());
    });
}

// 64-bit codes stored in a site volume of the buffer set in the width `wide` says.
inline void uploadCodes(int* volume, const std::vector<int64_t>& codes, bool wide) {
    withCodeType(wide, [&](auto code) {
        using Code = decltype(code);
        uploadVolume(codesIn<Code>(volume), std::vector<Code>(codes.begin(), codes.end()));
    });
}

CVT_END_NAMESPACE
