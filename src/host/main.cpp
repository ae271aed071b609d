// Process entry: runs the program on the GPU when a usable one is present, else on the CPU simulation.
#include <unistd.h>

#include <optional>
#include <string>

#include "device/backends.h"

#define CVT_DECLARE_PROGRAM(ns) \
    namespace cvt::ns {         \
    int runProgram(int);        \
    }
CVT_FOR_EACH_BACKEND(CVT_DECLARE_PROGRAM)

namespace {
#define CVT_PROGRAM(ns) CVT_BACKEND_ENTRY(ns, runProgram)
const cvt::BackendEntry<int(int)> programs[] = {CVT_FOR_EACH_BACKEND(CVT_PROGRAM)};
}  // namespace

int main() {
    const auto* program = cvt::chooseBackend(programs, "cvt");
    return program == nullptr ? 1 : program->run(STDOUT_FILENO);
}
