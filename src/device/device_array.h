// A device array owned by a scope: the small arrays that live beside the buffer set, and those of tests.
#pragma once

#include <cstddef>
#include <vector>

#include "device.h"

CVT_BEGIN_NAMESPACE

template <class T>
class DeviceArray {
public:
    // Throws cvt::Failure, naming `what`, when the allocation fails.
    explicit DeviceArray(size_t count, const char* what = "a device array") : count_(count) {
        checkAllocation(cudaMalloc(&data_, bytes()), what, bytes());
    }
    explicit DeviceArray(const std::vector<T>& values) : DeviceArray(values.size()) { upload(values); }
    // A free that fails leaves a device in a failed state, whose first failure has been reported.
    ~DeviceArray() { static_cast<void>(cudaFree(data_)); }
    DeviceArray(const DeviceArray&) = delete;
    DeviceArray& operator=(const DeviceArray&) = delete;

    T* get() const { return data_; }
    size_t size() const { return count_; }
    size_t bytes() const { return count_ * sizeof(T); }

    void upload(const std::vector<T>& values) {
        checkCuda(cudaMemcpy(data_, values.data(), bytes(), cudaMemcpyHostToDevice), "uploading a device array");
    }
    std::vector<T> download() const {
        std::vector<T> values(count_);
        checkCuda(cudaMemcpy(values.data(), data_, bytes(), cudaMemcpyDeviceToHost), "reading back a device array");
        return values;
    }

private:
    T* data_ = nullptr;
    size_t count_;
};

CVT_END_NAMESPACE
