// The memory of a whole cvt-volume run per voxel of its volume: the peak resident size of a child
// cvt-volume (the one beside this cvt-bench) on a 512 x 512 x 96 float32 volume, the shape of a CT
// stack, in the default deterministic mode with its labels written. Two iterations: every buffer is
// taken before the first, so more would only take longer.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"

extern char** environ;

CVT_BEGIN_NAMESPACE
namespace {

constexpr int boxX = 512, boxY = 512, boxZ = 96;

// A positive density that varies along every axis, as raw little-endian float32 x fastest.
void writeBenchVolume(const std::string& path) {
    std::vector<float> slice(size_t(boxX) * boxY);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw Failure("cannot write " + path);
    for (int z = 0; z < boxZ; ++z) {
        for (int y = 0; y < boxY; ++y)
            for (int x = 0; x < boxX; ++x) slice[x + size_t(boxX) * y] = 0.1f + float((x * 7 + y * 5 + z * 3) % 97);
        if (std::fwrite(slice.data(), sizeof(float), slice.size(), file) != slice.size()) break;
    }
    if (std::fclose(file) != 0) throw Failure("cannot write " + path);
}

// The child's peak resident bytes. On the simulation's turn the child is shown no GPU, so that it
// runs on the CPU whatever this machine has.
uint64_t childPeakBytes(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    if (!benchOnGpu()) variables.push_back("CUDA_VISIBLE_DEVICES=");
    for (char** e = environ; *e != nullptr; ++e) variables.push_back(*e);
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0)
        throw Failure("cannot start " + words[0]);
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw Failure(words[0] + " failed");
    return uint64_t(usage.ru_maxrss) * 1024;  // kibibytes on Linux
}

void benchPeakMemory() {
    const std::filesystem::path here = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    const std::string stem = "/tmp/cvt-bench-memory-" + std::to_string(getpid());
    const std::string volume = stem + ".raw", labels = stem + "-labels.npy";
    writeBenchVolume(volume);
    uint64_t peak = 0;
    try {
        peak = childPeakBytes({(here / "cvt-volume").string(), volume, "--raw-shape",
                               std::to_string(boxX) + "," + std::to_string(boxY) + "," + std::to_string(boxZ),
                               "--raw-type", "float32", "--max-iterations", "2", "--labels", labels, "--quiet"});
    } catch (...) {
        std::remove(volume.c_str());
        std::remove(labels.c_str());
        throw;
    }
    std::remove(volume.c_str());
    std::remove(labels.c_str());
    std::printf("%speak_bytes_per_voxel: %.1f\n", benchOnGpu() ? "gpu_" : "",
                double(peak) / (double(boxX) * boxY * boxZ));
    std::fflush(stdout);
}

CVT_BENCHMARK("92 memory", benchPeakMemory);

}  // namespace
CVT_END_NAMESPACE
