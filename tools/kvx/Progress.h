// A one-line progress bar on standard error, shown only when it is a terminal.
#pragma once

#include <string>

namespace kvx::cli {

class Progress {
public:
    // `quiet` turns it off even on a terminal.
    explicit Progress(bool quiet);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Work is split in `steps` equal steps; Step(i, what) starts step i (0-based).
    void SetSteps(std::size_t steps) { steps_ = steps == 0 ? 1 : steps; }
    void Step(std::size_t index, const std::string& what);
    // How far the current step has come (0 to 1); redrawn only when the bar would change.
    void Part(double fraction, const std::string& what);
    // Removes the bar (before printing results or errors).
    void Clear();

private:
    bool enabled_;
    bool shown_ = false;
    std::size_t steps_ = 1;
    std::size_t index_ = 0;
    int shownPercent_ = -1;

    void Draw(double fraction, const std::string& what);
};

}  // namespace kvx::cli
