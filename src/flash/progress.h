// How far a run has come, as the shells show it: the percentage of value out
// of max, computed in single precision as the window always has, and its
// label ("37 %", ties to even).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

inline double progressPercent(int32_t value, int32_t max) {
    if (value == 0) {
        return 0.0; // nothing is divided, so 0 of 0 reads 0 %
    }
    return static_cast<double>(static_cast<float>(value) / static_cast<float>(max) * 100.0f);
}

inline std::string progressLabel(int32_t value, int32_t max) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f %%", progressPercent(value, max));
    return text;
}
