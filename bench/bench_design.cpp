// Filter design time per quality and path: the cost an engine pays at
// construction and on every reset. Prints the median of several runs.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "filter/filter_bank.hpp"

namespace {

// Keeps the designs observable so that none is optimised away.
volatile std::uint64_t sink = 0;

using tenvira::FilterBank;
using tenvira::Quality;

struct Path {
    const char* name;
    std::uint32_t input_rate;
    std::uint32_t output_rate;
};

double median_design_us(const Path& path, Quality quality, int runs) {
    std::vector<double> times;
    FilterBank::create(path.input_rate, path.output_rate, quality);  // warm-up
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const FilterBank bank = FilterBank::create(path.input_rate, path.output_rate, quality);
        const auto stop = std::chrono::steady_clock::now();
        sink = sink + static_cast<double>(bank.taps + bank.phases);
        times.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main() {
    constexpr Path paths[] = {
        {"polyphase 44100->48000", 44100, 48000},
        {"half-band 16000->8000", 16000, 8000},
        {"third-band 24000->8000", 24000, 8000},
    };
    constexpr std::pair<Quality, const char*> qualities[] = {
        {Quality::Fast, "fast"}, {Quality::Balanced, "balanced"}, {Quality::Best, "best"}};
    constexpr int runs = 21;

    std::printf("%-9s %-24s %12s\n", "quality", "path", "median us");
    for (const auto& [quality, quality_name] : qualities) {
        for (const Path& path : paths) {
            std::printf("%-9s %-24s %12.1f\n", quality_name, path.name, median_design_us(path, quality, runs));
        }
    }
    return 0;
}
