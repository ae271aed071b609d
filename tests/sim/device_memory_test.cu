// The simulated device has a fixed memory: the host memory available to the process.
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "device/sim/faults.h"
#include "device/host_memory.h"
#include "device_test_support.h"

CVT_BEGIN_NAMESPACE
namespace {

class DeviceMemoryTest : public DeviceTest {
protected:
    void TearDown() override { setDeviceCapacity(0); }
};

// Random allocations and frees on a small device: an allocation succeeds exactly when it fits in
// the free memory reported before it, and the free memory always adds up.
TEST_F(DeviceMemoryTest, AllocationsSucceedExactlyWhenTheyFit) {
    const size_t capacity = size_t{1} << 20;
    setDeviceCapacity(capacity);
    std::mt19937 random(7);
    std::vector<void*> live;
    int refused = 0;
    for (int step = 0; step < 2000; ++step) {
        size_t free = 0, total = 0;
        ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
        ASSERT_EQ(total, capacity);
        if (!live.empty() && random() % 3 == 0) {
            const size_t victim = random() % live.size();
            ASSERT_EQ(cudaFree(live[victim]), cudaSuccess);
            live.erase(live.begin() + victim);
            continue;
        }
        const size_t bytes = random() % (capacity / 4);
        void* memory = nullptr;
        const cudaError_t status = cudaMalloc(&memory, bytes);
        ASSERT_EQ(status, bytes <= free ? cudaSuccess : cudaErrorMemoryAllocation) << bytes << " bytes, " << free << " free";
        cudaGetLastError();
        if (memory == nullptr) {
            ++refused;
            continue;
        }
        live.push_back(memory);
        size_t freeAfter = 0;
        ASSERT_EQ(cudaMemGetInfo(&freeAfter, &total), cudaSuccess);
        ASSERT_GE(free - freeAfter, std::max<size_t>(bytes, 1));
        ASSERT_LT(free - freeAfter, bytes + 256);
    }
    EXPECT_GT(refused, 100);
    for (void* memory : live) ASSERT_EQ(cudaFree(memory), cudaSuccess);
    size_t free = 0, total = 0;
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, total);
}

// A fake /proc and cgroup tree per case: MemAvailable, lowered by the smallest limit of the
// process's group and the groups above it.
TEST(HostMemoryTest, MemAvailableIsLoweredByTheSmallestLimitOfTheProcessGroups) {
    const std::string meminfo = "MemTotal:       32000000 kB\nMemFree:  1000 kB\nMemAvailable:    2000000 kB\nHugePages_Total:       0\n";
    const uint64_t available = 2000000ull * 1024;
    struct Case {
        const char* name;
        std::string meminfo, membership;
        std::map<std::string, std::string> files;  // under the cgroup root
        std::optional<uint64_t> expected;
    };
    const Case cases[] = {
        {"no control group", meminfo, "", {}, available},
        {"v2 without limit", meminfo, "0::/user.slice/job\n", {{"user.slice/job/memory.max", "max\n"}}, available},
        {"v2 limit", meminfo, "0::/user.slice/job\n", {{"user.slice/job/memory.max", "1048576\n"}}, 1048576},
        {"v2 limit above", meminfo, "0::/a/b\n", {{"a/b/memory.max", "max\n"}, {"a/memory.max", "4096\n"}}, 4096},
        {"v2 limit at the root", meminfo, "0::/\n", {{"memory.max", "8192\n"}}, 8192},
        {"v2 limit larger than the host", meminfo, "0::/a\n", {{"a/memory.max", "99999999999999\n"}}, available},
        {"v2 group outside the namespace", meminfo, "0::/../..\n", {{"memory.max", "12345\n"}}, 12345},
        {"v1 memory controller", meminfo, "5:cpu,cpuacct:/x\n4:memory:/x\n",
         {{"memory/x/memory.limit_in_bytes", "65536\n"}, {"cpu,cpuacct/x/memory.limit_in_bytes", "1\n"}}, 65536},
        {"v1 unlimited", meminfo, "4:memory:/x\n", {{"memory/x/memory.limit_in_bytes", "9223372036854771712\n"}}, available},
        {"no MemAvailable", "MemTotal: 100 kB\n", "", {}, std::nullopt},
    };
    const std::filesystem::path root = std::filesystem::path(testing::TempDir()) / "cvt_host_memory";
    for (const Case& c : cases) {
        std::filesystem::remove_all(root);
        auto write = [](const std::filesystem::path& file, const std::string& text) {
            std::filesystem::create_directories(file.parent_path());
            std::ofstream(file) << text;
        };
        write(root / "proc/meminfo", c.meminfo);
        write(root / "proc/self/cgroup", c.membership);
        for (const auto& [file, text] : c.files) write(root / "cgroup" / file, text);
        EXPECT_EQ(availableHostMemory(root / "proc", root / "cgroup"), c.expected) << c.name;
    }
    std::filesystem::remove_all(root);
}

}  // namespace
CVT_END_NAMESPACE
