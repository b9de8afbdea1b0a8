#include "cli/doctor.h"

#include "setup/SetupCheck.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace cli {

int runDoctor(const std::vector<std::string>& ports, bool json, std::FILE* out) {
    const std::vector<SetupCheck> checks = SetupCheck_Run(ports);
    const auto count = [&checks](CheckStatus status) {
        return std::count_if(checks.begin(), checks.end(),
                             [status](const SetupCheck& c) { return c.status == status; });
    };
    const auto failures = count(CheckStatus::Failure);
    const auto warnings = count(CheckStatus::Warning);
    const CheckStatus overall = failures > 0   ? CheckStatus::Failure
                                : warnings > 0 ? CheckStatus::Warning
                                               : CheckStatus::Ok;
    if (json) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& c : checks) {
            list.push_back({{"id", c.id},
                            {"status", SetupCheck_StatusName(c.status)},
                            {"finding", c.finding},
                            {"fix", c.fix}});
        }
        const nlohmann::json report = {{"checks", list},
                                       {"status", SetupCheck_StatusName(overall)},
                                       {"failures", failures},
                                       {"warnings", warnings}};
        // Replacement characters for bytes that are not UTF-8 (a device's
        // name), rather than an exception.
        std::fprintf(out, "%s\n",
                     report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
        std::fputs(SetupCheck_Text(checks).c_str(), out);
    }
    std::fflush(out);
    return failures > 0 ? 1 : 0;
}

} // namespace cli
