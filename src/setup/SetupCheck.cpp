#include "setup/SetupCheck.h"

#include <algorithm>
#include <cstdio>

const char* SetupCheck_StatusName(CheckStatus status) {
    switch (status) {
    case CheckStatus::Ok:
        return "ok";
    case CheckStatus::Warning:
        return "warning";
    case CheckStatus::Failure:
        break;
    }
    return "failure";
}

std::string SetupCheck_Text(const std::vector<SetupCheck>& checks) {
    size_t width = 0;
    long failures = 0;
    long warnings = 0;
    for (const auto& c : checks) {
        width = std::max(width, c.id.size());
        failures += c.status == CheckStatus::Failure;
        warnings += c.status == CheckStatus::Warning;
    }
    std::string text;
    char line[64];
    for (const auto& c : checks) {
        std::snprintf(line, sizeof line, "%-8s ", SetupCheck_StatusName(c.status));
        text += line + c.id + std::string(width - c.id.size() + 2, ' ') + c.finding + "\n";
        if (c.status != CheckStatus::Ok && !c.fix.empty()) {
            text += std::string(9, ' ') + "fix: " + c.fix + "\n";
        }
    }
    std::snprintf(line, sizeof line, "%ld failure%s, %ld warning%s\n", failures,
                  failures == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s");
    return text + line;
}
