// The labelling text: byte for byte what printf writes, in the line order of the voxels, and a loud
// failure when the output cannot take it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "device/failure.h"
#include "host/output.h"

namespace cvt {
namespace {

constexpr int32_t emptySite = INT32_MIN;

int32_t code(int x, int y, int z) { return (x << 20) | (y << 10) | z; }

std::string printfLine(int32_t label) {
    char line[64];
    const int length = std::snprintf(line, sizeof line, "v %d %d %d\n", (label >> 20) & 1023, (label >> 10) & 1023,
                                     label & 1023);
    return std::string(line, length);
}

std::string formattedLine(int32_t label) {
    char line[labelLineRoom];
    return std::string(line, formatLabelLine(line, label));
}

TEST(LabelLineTest, EveryFieldValueFormatsAsPrintfDoes) {
    for (int value = 0; value <= 1023; ++value) {
        for (int32_t label : {code(value, 0, 0), code(0, value, 0), code(0, 0, value), code(value, value, value),
                              code(value, 1023 - value, (value * 37) % 1024)})
            ASSERT_EQ(formattedLine(label), printfLine(label)) << label;
    }
}

TEST(LabelLineTest, NegativeLabelsDecodeLikeCodes) {
    EXPECT_EQ(formattedLine(emptySite), "v 0 0 0\n");
    for (int32_t label : {-1, emptySite | code(3, 2, 1), INT32_MAX}) EXPECT_EQ(formattedLine(label), printfLine(label));
}

TEST(LabelLineTest, LineNumbersRunOverZInnermostAndXOutermost) {
    const auto index = [](int x, int y, int z) { return size_t(x) + 256 * size_t(y) + 65536 * size_t(z); };
    EXPECT_EQ(labelIndexOfLine(0), index(0, 0, 0));
    EXPECT_EQ(labelIndexOfLine(1), index(0, 0, 1));
    EXPECT_EQ(labelIndexOfLine(256), index(0, 1, 0));
    EXPECT_EQ(labelIndexOfLine(65536), index(1, 0, 0));
    EXPECT_EQ(labelIndexOfLine(labellingLines - 1), index(255, 255, 255));
    EXPECT_EQ(labelIndexOfLine(65536 * 7 + 256 * 200 + 9), index(7, 200, 9));
}

// Runs writeLabelling into a pipe on a thread of its own, which SIGUSR1 keeps interrupting (so that
// writes return early or with EINTR), and checks every line read back against printf.
class WriterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        struct sigaction action {};
        action.sa_handler = [](int) {};  // no SA_RESTART: a blocked write returns early
        sigaction(SIGUSR1, &action, &previousInterrupt_);
        // A mismatch closes the pipe early; the writer must then fail, not kill the test.
        action.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &action, &previousBrokenPipe_);
    }
    static void TearDownTestSuite() {
        sigaction(SIGUSR1, &previousInterrupt_, nullptr);
        sigaction(SIGPIPE, &previousBrokenPipe_, nullptr);
    }

    // The text that writeLabelling sends through a pipe, read to its end.
    static std::string writtenText(const std::vector<int32_t>& labels) {
        int ends[2];
        if (pipe(ends) != 0) throw std::runtime_error("no pipe");
        std::atomic<bool> writing{true};
        std::string failure;
        std::thread writer([&] {
            try {
                writeLabelling(labels.data(), ends[1]);
            } catch (const Failure& error) {
                failure = error.what();
            }
            writing = false;
            close(ends[1]);
        });
        std::thread interrupter([&, handle = writer.native_handle()] {
            while (writing) {
                pthread_kill(handle, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        std::string text;
        std::vector<char> chunk(1 << 20);
        for (ssize_t got; (got = read(ends[0], chunk.data(), chunk.size())) != 0;) {
            if (got > 0) text.append(chunk.data(), size_t(got));
            else if (errno != EINTR) break;
        }
        close(ends[0]);
        writer.join();
        interrupter.join();
        EXPECT_EQ(failure, "");
        return text;
    }

    // Checks that `text` consists of exactly labellingLines lines, line n being expectedLine(n).
    template <class ExpectedLine>
    static void expectLines(const std::string& text, ExpectedLine expectedLine) {
        size_t begin = 0, line = 0;
        for (; begin < text.size() && line < labellingLines; ++line) {
            const std::string_view expected = expectedLine(line);
            if (text.compare(begin, expected.size(), expected) != 0) {
                ADD_FAILURE() << "line " << line + 1 << " is \"" << text.substr(begin, text.find('\n', begin) - begin)
                              << "\", printf writes \"" << expected << "\"";
                return;
            }
            begin += expected.size();
        }
        EXPECT_EQ(line, labellingLines);
        EXPECT_EQ(begin, text.size()) << "text after the last line";
    }

    // printf of every label of a volume whose labels come from a small pool, each formatted once.
    static void expectPrintfOfPool(const std::vector<int32_t>& labels, const std::vector<int32_t>& pool) {
        std::unordered_map<int32_t, std::string> printed;
        for (int32_t label : pool) printed.emplace(label, printfLine(label));
        expectLines(writtenText(labels), [&](size_t line) -> std::string_view {
            return printed.at(labels[labelIndexOfLine(line)]);
        });
    }

private:
    static struct sigaction previousInterrupt_, previousBrokenPipe_;
};

struct sigaction WriterTest::previousInterrupt_, WriterTest::previousBrokenPipe_;

TEST_F(WriterTest, EachLineNamesTheVoxelOfItsLineNumber) {
    // Every voxel labelled with its own coordinates: line n must be printf of the voxel of line n,
    // x = n / 65536, y = (n / 256) % 256, z = n % 256.
    std::vector<int32_t> labels(labellingLines);
    for (int z = 0; z < 256; ++z)
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x) labels[x + 256 * y + 65536 * size_t(z)] = code(x, y, z);
    char expected[64];
    expectLines(writtenText(labels), [&](size_t n) {
        const int length = std::snprintf(expected, sizeof expected, "v %d %d %d\n", int(n / 65536),
                                         int(n / 256 % 256), int(n % 256));
        return std::string_view(expected, size_t(length));
    });
}

TEST_F(WriterTest, RandomLabelsOfEveryWidth) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int32_t> anyLabel(INT32_MIN, INT32_MAX);
    std::vector<int32_t> pool(1 << 16);
    for (int32_t& label : pool) label = anyLabel(random);
    pool.push_back(emptySite);
    std::uniform_int_distribution<size_t> pick(0, pool.size() - 1);
    std::vector<int32_t> labels(labellingLines);
    for (int32_t& label : labels) label = pool[pick(random)];
    expectPrintfOfPool(labels, pool);
}

TEST_F(WriterTest, RegionsOfFewSites) {
    // A labelling like a real one: long runs of a few site codes, some voxels empty.
    std::mt19937 random(11);
    std::uniform_int_distribution<int> coordinate(0, 255);
    std::vector<int32_t> pool(50);
    for (int32_t& site : pool) site = code(coordinate(random), coordinate(random), coordinate(random));
    std::vector<int32_t> labels(labellingLines);
    for (size_t i = 0; i < labels.size(); ++i) labels[i] = (i % 4099 == 0) ? emptySite : pool[(i / 3001) % pool.size()];
    pool.push_back(emptySite);
    expectPrintfOfPool(labels, pool);
}

TEST(BoxWriterTest, LinesCoverTheBoxOfALargerGridInLineOrder) {
    std::mt19937 random(5);
    std::uniform_int_distribution<int32_t> anyLabel(INT32_MIN, INT32_MAX);
    for (const auto& [edge, box] : {std::pair{64, GridBox{37, 5, 19}}, std::pair{32, GridBox{32, 32, 1}},
                                    std::pair{64, GridBox{1, 64, 3}}, std::pair{96, GridBox{17, 16, 90}}}) {
        std::vector<int32_t> labels(size_t(edge) * edge * edge);
        for (int32_t& label : labels) label = anyLabel(random);
        std::string expected;
        for (int x = 0; x < box.x; ++x)
            for (int y = 0; y < box.y; ++y)
                for (int z = 0; z < box.z; ++z) expected += printfLine(labels[(size_t(z) * edge + y) * edge + x]);
        std::string written;
        writeLabelling(labels.data(), edge, box, [&](const char* data, size_t bytes) { written.append(data, bytes); });
        ASSERT_EQ(written, expected) << "box " << box.x << " x " << box.y << " x " << box.z << " of edge " << edge;
    }
}

TEST(WriterFailureTest, AFullDeviceIsAFailure) {
    const int full = open("/dev/full", O_WRONLY);
    if (full < 0) GTEST_SKIP() << "/dev/full is not available";
    const std::vector<int32_t> labels(labellingLines, emptySite);
    try {
        writeLabelling(labels.data(), full);
        ADD_FAILURE() << "writing to /dev/full succeeded";
    } catch (const Failure& failure) {
        EXPECT_NE(std::string(failure.what()).find("No space"), std::string::npos) << failure.what();
    }
    close(full);
}

TEST(WriterFailureTest, AClosedPipeIsAFailure) {
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    const std::vector<int32_t> labels(labellingLines, code(1, 2, 3));
    EXPECT_THROW(writeLabelling(labels.data(), ends[1]), Failure);
    close(ends[1]);
    sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
}  // namespace cvt
