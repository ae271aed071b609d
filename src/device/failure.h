// The error that ends a run: a failed device call, allocation or output. It carries one line that
// says what failed; the entry prints it and exits with a non-zero status.
#pragma once

#include <stdexcept>
#include <string>

namespace cvt {

class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace cvt
