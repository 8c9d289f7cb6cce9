// One benchmark figure: the measured path against its floor, round by round
// in the same run, summarised as the median ratio with its spread. Its line,
//   BENCH <name> <median ratio> <target> min <ratio> max <ratio> rounds <n> [note]
// is what scripts/bench collects into its summary. The note, when given, says
// what the ratio alone hides (a fixed cost in milliseconds, say).
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

class Figure {
public:
    Figure(const char* name, double target) : name_(name), target_(target) {}

    // One round: the path's time and its floor's, in the same unit.
    void Add(double measured, double floor) {
        if (floor > 0) ratios_.push_back(measured / floor);
    }

    double Median() const {
        if (ratios_.empty()) return 0;
        std::vector<double> sorted = ratios_;
        std::sort(sorted.begin(), sorted.end());
        const size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }

    void Print(const std::string& note = {}) const {
        const char* gap = note.empty() ? "" : " ";
        if (ratios_.empty()) {
            std::printf("BENCH %s none %.2f rounds 0%s%s\n", name_, target_, gap, note.c_str());
            return;
        }
        const auto [low, high] = std::minmax_element(ratios_.begin(), ratios_.end());
        std::printf("BENCH %s %.2f %.2f min %.2f max %.2f rounds %zu%s%s\n", name_, Median(),
                    target_, *low, *high, ratios_.size(), gap, note.c_str());
        std::fflush(stdout);
    }

private:
    const char* name_;
    double target_;
    std::vector<double> ratios_;
};

}  // namespace bench
