// Test support shared by the kernel tests of both backends.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "device/device.h"

CVT_BEGIN_NAMESPACE

// Base of every test that needs the device: skips, with the reason, where the backend cannot run.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = unavailableReason()) GTEST_SKIP() << *why;
    }
};

// A device array for tests, freed on scope exit.
template <class T>
class DeviceArray {
public:
    explicit DeviceArray(size_t count) : count_(count) {
        checkAllocation(cudaMalloc(&data_, bytes()), "a test array", bytes());
    }
    explicit DeviceArray(const std::vector<T>& values) : DeviceArray(values.size()) { upload(values); }
    DeviceArray(const DeviceArray&) = delete;
    DeviceArray& operator=(const DeviceArray&) = delete;
    ~DeviceArray() { cudaFree(data_); }

    T* get() const { return data_; }
    size_t size() const { return count_; }
    size_t bytes() const { return count_ * sizeof(T); }

    void upload(const std::vector<T>& values) {
        checkCuda(cudaMemcpy(data_, values.data(), bytes(), cudaMemcpyHostToDevice), "test upload");
    }
    std::vector<T> download() const {
        std::vector<T> values(count_);
        checkCuda(cudaMemcpy(values.data(), data_, bytes(), cudaMemcpyDeviceToHost), "test download");
        return values;
    }

private:
    T* data_ = nullptr;
    size_t count_;
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
