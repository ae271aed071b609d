#include "progress.h"

#include <unistd.h>

#include <cstdarg>

namespace cvt::volume {
namespace {

// A terminal is redrawn at most this often: more would only cost time on a fast device.
constexpr std::chrono::milliseconds statusInterval(100);

}  // namespace

ProgressReporter::ProgressReporter(std::FILE* stream, bool terminal, bool quiet)
    : stream_(stream), terminal_(terminal), quiet_(quiet), started_(std::chrono::steady_clock::now()),
      lastStatus_(started_) {}

bool ProgressReporter::isTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

double ProgressReporter::elapsedSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

void ProgressReporter::clearStatusLine() {
    if (!statusShown_) return;
    std::fputs("\r\033[K", stream_);
    statusShown_ = false;
}

void ProgressReporter::iterationDone(int iteration, int levelIndex) {
    if (quiet_ || !terminal_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastStatus_ < statusInterval) return;
    lastStatus_ = now;
    std::fprintf(stream_, "\r\033[Kiteration %d  level %d  %.1f s", iteration, levelIndex, elapsedSeconds());
    std::fflush(stream_);
    statusShown_ = true;
}

void ProgressReporter::decisionTaken(const CvtDecision& decision) {
    if (quiet_) return;
    clearStatusLine();
    std::fprintf(stream_, "iteration %d  level %d  energy %.6g  relaxation %.6g  ", decision.iteration,
                 decision.levelIndex, double(decision.energy), double(decision.relaxation));
    if (decision.sitesMoved >= 0) std::fprintf(stream_, "%lld moved  ", static_cast<long long>(decision.sitesMoved));
    std::fprintf(stream_, "%.1f s\n", elapsedSeconds());
    std::fflush(stream_);
}

void ProgressReporter::runEnded(const CvtRunReport& report, int iteration, size_t sitesLeft, size_t splitRegions) {
    if (quiet_) return;
    clearStatusLine();
    switch (report.stop) {
    case CvtStop::converged:
        std::fprintf(stream_, "converged on the last level at iteration %d, a fixed point after %d plain %s; %zu sites",
                     iteration, report.plainSteps, report.plainSteps == 1 ? "step" : "steps", sitesLeft);
        break;
    case CvtStop::stalled:
        std::fprintf(stream_,
                     "stalled at iteration %d: %d plain steps stopped lowering the energy short of a fixed point, "
                     "so the sites of the lowest energy are kept; %zu sites",
                     iteration, report.plainSteps, sitesLeft);
        break;
    case CvtStop::energyCriterion:
        std::fprintf(stream_,
                     "stopped at iteration %d: the energy fell by less than 1e-4 per iteration (float sums: not "
                     "checked for a fixed point); %zu sites",
                     iteration, sitesLeft);
        break;
    case CvtStop::iterationBudget:
        std::fprintf(stream_, "stopped: the budget of %d iterations ran out; %zu sites", iteration, sitesLeft);
        break;
    case CvtStop::noIterations:
        std::fprintf(stream_, "labelled the initial sites without iterating; %zu sites", sitesLeft);
        break;
    }
    std::fprintf(stream_, ", %zu %s in more than one piece", splitRegions, splitRegions == 1 ? "region" : "regions");
    if (report.connected)
        std::fprintf(stream_, "; %llu voxels moved to connect the regions, %llu %s that no site reaches",
                     static_cast<unsigned long long>(report.connectedMoves),
                     static_cast<unsigned long long>(report.apartPieces), report.apartPieces == 1 ? "piece" : "pieces");
    std::fputc('\n', stream_);
    std::fflush(stream_);
}

void ProgressReporter::note(const char* format, ...) {
    if (quiet_) return;
    clearStatusLine();
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stream_, format, arguments);
    va_end(arguments);
    std::fputc('\n', stream_);
    std::fflush(stream_);
}

}  // namespace cvt::volume
