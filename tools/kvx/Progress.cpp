#include "Progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace kvx::cli {

Progress::Progress(bool quiet) : enabled_(!quiet && ::isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() {
    Clear();
}

void Progress::Step(std::size_t index, const std::string& what) {
    index_ = index;
    if (!enabled_) return;
    Draw(static_cast<double>(index) / static_cast<double>(steps_), what);
}

void Progress::Part(double fraction, const std::string& what) {
    if (!enabled_) return;
    const double done = (static_cast<double>(index_) + std::clamp(fraction, 0.0, 1.0)) /
                        static_cast<double>(steps_);
    if (static_cast<int>(done * 100) == shownPercent_) return;
    Draw(done, what);
}

void Progress::Draw(double fraction, const std::string& what) {
    constexpr int kWidth = 30;
    fraction = std::min(1.0, fraction);
    shownPercent_ = static_cast<int>(fraction * 100);
    const int filled = static_cast<int>(fraction * kWidth);
    std::fprintf(stderr, "\r\033[K[%.*s%.*s] %3d%% %.60s", filled, "##############################",
                 kWidth - filled, "..............................",
                 static_cast<int>(fraction * 100), what.c_str());
    std::fflush(stderr);
    shown_ = true;
}

void Progress::Clear() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
    shownPercent_ = -1;
}

}  // namespace kvx::cli
