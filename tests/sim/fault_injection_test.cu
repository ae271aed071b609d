// Every failing device allocation, copy or launch ends the run with one line that names the
// operation, leaves nothing on standard output, and leaks no device memory.
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "device/sim/faults.h"
#include "device_test_support.h"
#include "driver/cvt_driver.h"
#include "host/buffers.h"
#include "host/program.h"

CVT_BEGIN_NAMESPACE

namespace {

class FaultInjectionTest : public DeviceTest {
protected:
    void TearDown() override {
        for (Operation operation : {Operation::allocation, Operation::copy, Operation::launch}) injectFailure(operation, 0);
    }

    // runCvt on a 64^3 grid with the nth operation of a kind failing; returns the failure's message.
    static std::string runCvtFailing(Operation operation, unsigned nth) {
        std::string message;
        try {
            allocateBuffers(64);
            const std::vector<float> density(64 * 64 * 64, 1.0f);
            std::vector<int> result(density.size());
            injectFailure(operation, nth);
            runCvt(density.data(), 20, result.data(), 1, 12);
        } catch (const Failure& failure) {
            message = failure.what();
        }
        injectFailure(operation, 0);
        releaseBuffers();
        return message;
    }
};

TEST_F(FaultInjectionTest, EachFailingAllocationOfTheBufferSetIsReportedAndNothingLeaks) {
    for (unsigned nth = 1; nth <= 7; ++nth) {  // two site volumes, four moment volumes, one pyramid level
        injectFailure(Operation::allocation, nth);
        try {
            allocateBuffers(64);
            ADD_FAILURE() << "allocation " << nth << " did not fail";
        } catch (const Failure& failure) {
            EXPECT_TRUE(std::regex_search(failure.what(), std::regex("device allocation of [0-9]+ bytes for .* failed: out of memory")))
                << failure.what();
        }
        releaseBuffers();
        EXPECT_EQ(deviceAllocationCount(), 0u) << "after failing allocation " << nth;
    }
}

TEST_F(FaultInjectionTest, EachFailingCopyOfARunIsNamed) {
    // A 12-iteration run copies the density up, the sites' voxels and codes up, the energy back at
    // iteration 10, and the labelling back at the end.
    const char* expected[] = {"uploading the density", "uploading the sites' voxels", "uploading the sites' codes",
                              "reading back the energy", "copying the labelling back"};
    for (unsigned nth = 1; nth <= 5; ++nth) {
        const std::string message = runCvtFailing(Operation::copy, nth);
        EXPECT_NE(message.find(expected[nth - 1]), std::string::npos) << message;
        EXPECT_NE(message.find("invalid argument"), std::string::npos) << message;
        EXPECT_EQ(deviceAllocationCount(), 0u);
    }
    EXPECT_EQ(runCvtFailing(Operation::copy, 6), "") << "a 12-iteration run makes exactly five copies";
}

TEST_F(FaultInjectionTest, FailingLaunchesAnywhereInARunAreNamed) {
    for (unsigned nth : {1u, 2u, 3u, 7u, 11u, 40u, 90u, 131u}) {
        const std::string message = runCvtFailing(Operation::launch, nth);
        EXPECT_TRUE(std::regex_search(message, std::regex("^launch of kernel[A-Za-z0-9<>]+ \\(grid .*\\) failed: unspecified launch failure")))
            << "launch " << nth << ": " << message;
        EXPECT_EQ(deviceAllocationCount(), 0u);
    }
}

// The whole program in a child process: exit status 1, one line on stderr, nothing on stdout.
void runProgramWithFailure(Operation operation, unsigned nth) {
    std::fflush(stdout);  // what the test runner wrote before is not the program's
    std::FILE* capture = std::tmpfile();
    dup2(fileno(capture), STDOUT_FILENO);
    injectFailure(operation, nth);
    const int status = runProgram(STDOUT_FILENO);
    std::fflush(stdout);
    if (lseek(STDOUT_FILENO, 0, SEEK_END) != 0) std::exit(42);
    std::exit(status);
}

TEST_F(FaultInjectionTest, TheProgramReportsAFailureInOneLineAndWritesNoOutput) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runProgramWithFailure(Operation::allocation, 1), testing::ExitedWithCode(1),
                "cvt: device allocation of 67108864 bytes for site volume 0 failed: out of memory\n");
    EXPECT_EXIT(runProgramWithFailure(Operation::allocation, 9), testing::ExitedWithCode(1),
                "cvt: device allocation of 1048576 bytes for a density pyramid level failed");
    EXPECT_EXIT(runProgramWithFailure(Operation::copy, 1), testing::ExitedWithCode(1),
                "cvt: uploading the density failed: invalid argument\n");
    EXPECT_EXIT(runProgramWithFailure(Operation::launch, 4), testing::ExitedWithCode(1),
                "cvt: launch of kernel[A-Za-z]+(<[A-Za-z]+>)? .* failed: unspecified launch failure\n");
}

}  // namespace
CVT_END_NAMESPACE
