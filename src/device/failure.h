// The error that ends a run: a failed device call, allocation or output. It carries one line that
// says what failed; the entry prints it and exits with a non-zero status.
#pragma once

#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

namespace cvt {

class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

// A Failure caused by what the caller asked for (a density or sites that cannot be used, a parameter
// out of range) rather than by the device or the host: callers in other languages report it as such.
class InvalidInput : public Failure {
public:
    using Failure::Failure;
};

// A Failure raised before allocating, because the run would not fit the memory available.
class MemoryShortfall : public Failure {
public:
    using Failure::Failure;
};

// Runs a program's body and returns its exit status. A Failure (or an exhausted heap) is printed as
// "program: what failed" on standard error, `cleanUp` frees what the body left, and the status is 1;
// a failing clean-up adds nothing, as a device in a failed state may refuse to free memory.
template <class Body, class CleanUp>
int runReportingFailure(const char* program, Body&& body, CleanUp&& cleanUp) {
    try {
        return body();
    } catch (const Failure& failure) {
        std::fprintf(stderr, "%s: %s\n", program, failure.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of host memory\n", program);
    }
    try {
        cleanUp();
    } catch (const Failure&) {
    }
    return 1;
}

}  // namespace cvt
