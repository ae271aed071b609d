// A labelling on the host (a copy of a site volume, or of some planes of one): site codes in the width
// of the grid's codes (site_code.h), so that a grid with 32-bit codes keeps it at 4 bytes a voxel.
// Plain data, shared by the backends and by host-only code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../device/host_memory.h"

namespace cvt {

class HostLabelling {
public:
    HostLabelling() = default;
    // Room for `voxels` codes, 64-bit ones when `wide`, populated at once (host_memory.h) and zero.
    HostLabelling(size_t voxels, bool wide) : wide_(wide) {
        if (wide) allocate(wideCodes_, voxels);
        else allocate(narrowCodes_, voxels);
    }

    bool wide() const { return wide_; }
    size_t size() const { return wide_ ? wideCodes_.size() : narrowCodes_.size(); }
    void* data() { return wide_ ? static_cast<void*>(wideCodes_.data()) : static_cast<void*>(narrowCodes_.data()); }
    // Calls visit(codes), `codes` a pointer to the codes as their own type (int32_t or int64_t).
    template <class Visit>
    decltype(auto) visit(Visit&& visit) const {
        if (wide_) return visit(static_cast<const int64_t*>(wideCodes_.data()));
        return visit(static_cast<const int32_t*>(narrowCodes_.data()));
    }

private:
    template <class Code>
    static void allocate(std::vector<Code>& codes, size_t voxels) {
        codes.reserve(voxels);
        populateLargeBuffer(codes.data(), voxels * sizeof(Code));
        codes.resize(voxels);
    }

    bool wide_ = false;
    std::vector<int32_t> narrowCodes_;
    std::vector<int64_t> wideCodes_;
};

}  // namespace cvt
