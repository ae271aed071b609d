// What cvt-volume says on standard error while it runs: one line per decision, a status line that
// updates in place between decisions when the stream is a terminal, and one line at the end saying why
// the run stopped. Nothing at all when quiet.
#pragma once

#include <chrono>
#include <cstdio>

#include "driver/cvt_request.h"

namespace cvt::volume {

class ProgressReporter : public CvtObserver {
public:
    // `terminal`: the stream shows a status line that may be rewritten (only then are control
    // characters written).
    ProgressReporter(std::FILE* stream, bool terminal, bool quiet);

    void iterationDone(int iteration, int levelIndex) override;
    void decisionTaken(const CvtDecision& decision) override;
    // The run's last line: why it stopped, at which iteration, with how many sites, and how many of
    // their regions are in more than one piece.
    void runEnded(const CvtRunReport& report, int iteration, size_t sitesLeft, size_t splitRegions);
    // A line of its own (a notice about the input, say), unless quiet.
    void note(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Whether `stream` is a terminal.
    static bool isTerminal(std::FILE* stream);

private:
    double elapsedSeconds() const;
    void clearStatusLine();

    std::FILE* stream_;
    bool terminal_;
    bool quiet_;
    bool statusShown_ = false;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point lastStatus_;
};

}  // namespace cvt::volume
