// Process entry: runs the program on the GPU when a usable one is present, else on the CPU simulation.
#include <optional>
#include <string>

#include "device/backends.h"

#define CVT_DECLARE_PROGRAM(ns) \
    namespace cvt::ns {         \
    int runProgram();           \
    }
CVT_FOR_EACH_BACKEND(CVT_DECLARE_PROGRAM)

namespace {

struct Program {
    const char* name;
    std::optional<std::string> (*unavailable)();
    int (*run)();
};

#define CVT_PROGRAM(ns) Program{#ns, &cvt::ns::unavailableReason, &cvt::ns::runProgram},
const Program programs[] = {CVT_FOR_EACH_BACKEND(CVT_PROGRAM)};

}  // namespace

int main() {
    const Program* program = cvt::chooseBackend(programs, "cvt");
    return program == nullptr ? 1 : program->run();
}
