#include "setup/SetupCheck.h"

#include "serial/printable.h"

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
    // Ids and findings name ports, device strings and process names, shown
    // escaped: nothing they carry reaches a terminal as control characters.
    std::vector<std::string> ids;
    size_t width = 0;
    long failures = 0;
    long warnings = 0;
    for (const auto& c : checks) {
        ids.push_back(printable(c.id));
        width = std::max(width, ids.back().size());
        failures += c.status == CheckStatus::Failure;
        warnings += c.status == CheckStatus::Warning;
    }
    std::string text;
    char line[64];
    for (size_t i = 0; i < checks.size(); ++i) {
        const SetupCheck& c = checks[i];
        std::snprintf(line, sizeof line, "%-8s ", SetupCheck_StatusName(c.status));
        text += line + ids[i] + std::string(width - ids[i].size() + 2, ' ') + printable(c.finding) +
                "\n";
        if (c.status != CheckStatus::Ok && !c.fix.empty()) {
            text += std::string(9, ' ') + "fix: " + printable(c.fix) + "\n";
        }
    }
    std::snprintf(line, sizeof line, "%ld failure%s, %ld warning%s\n", failures,
                  failures == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s");
    return text + line;
}
