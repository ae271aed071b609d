// Site codes on the device beside the buffer set, or the voxel indices that go with them, in the width
// of a grid's codes (site_code.h), while the host holds every code as a 64-bit integer: a grid with
// 32-bit codes keeps its arrays at 4 bytes an entry.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "../device/device_array.h"
#include "site_code.h"

CVT_BEGIN_NAMESPACE

class DeviceCodes {
public:
    // Room for `count` entries (at least one), 64-bit ones when `wide`. Throws cvt::Failure, naming
    // `what`, when the allocation fails.
    DeviceCodes(size_t count, bool wide, const char* what)
        : count_(count), wide_(wide), words_(std::max<size_t>(count, 1) * (wide ? 2 : 1), what) {}

    size_t size() const { return count_; }
    bool wide() const { return wide_; }
    // The entries as type Code, which must be the array's width.
    template <class Code>
    Code* get() const {
        return codesIn<Code>(words_.get());
    }

    // Stores the `count` values (at most size()), each in the array's width.
    void upload(const int64_t* values, size_t count, const char* operation) {
        if (count > count_) throw Failure(std::string(operation) + ": more entries than the array holds");
        withCodeType(wide_, [&](auto code) {
            using Code = decltype(code);
            const std::vector<Code> narrowed(values, values + count);
            checkCuda(cudaMemcpy(get<Code>(), narrowed.data(), count * sizeof(Code), cudaMemcpyHostToDevice),
                      operation);
        });
    }
    // The first `count` values.
    std::vector<int64_t> download(size_t count, const char* operation) const {
        return withCodeType(wide_, [&](auto code) {
            using Code = decltype(code);
            std::vector<Code> stored(count);
            checkCuda(cudaMemcpy(stored.data(), get<Code>(), count * sizeof(Code), cudaMemcpyDeviceToHost),
                      operation);
            return std::vector<int64_t>(stored.begin(), stored.end());
        });
    }

private:
    size_t count_;
    bool wide_;
    DeviceArray<int32_t> words_;
};

CVT_END_NAMESPACE
