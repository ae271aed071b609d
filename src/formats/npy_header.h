// The header of a NumPy .npy file: the Python dict literal that numpy writes, such as
// "{'descr': '<f4', 'fortran_order': False, 'shape': (64, 64, 64), }", parsed strictly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cvt::formats {

struct NpyHeader {
    std::string descr;
    bool fortranOrder = false;
    std::vector<uint64_t> shape;
};

// Requires exactly the keys 'descr', 'fortran_order' and 'shape', in any order, with a string, True or
// False, and a tuple of non-negative integers; whitespace and trailing commas are allowed. Throws
// cvt::Failure "<path>: ..." on anything else.
NpyHeader parseNpyHeader(const std::string& path, std::string_view text);

}  // namespace cvt::formats
