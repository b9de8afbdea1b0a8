// zkflash-cli --report: the production report over flash records, as text or
// as one JSON object.
#include "cli/cli.h"
#include "flash/FlashRecord.h"
#include "station/Report.h"

#include <cstdio>

namespace cli {

int runReport(const Options& options) {
    std::vector<std::string> files = options.records;
    if (files.empty()) {
        const std::string path = defaultRecordPath();
        if (path.empty()) {
            std::fprintf(stderr,
                         "%s: no record file (neither XDG_STATE_HOME nor a home "
                         "directory is known)\n",
                         kProgram);
            return kExitUsage;
        }
        files.push_back(path);
    }
    station::ReportFilter filter;
    if (!options.since.empty()) {
        filter.since = station::parseIsoTime(options.since);
    }
    if (!options.workOrder.empty()) {
        filter.workOrder = options.workOrder;
    }
    std::vector<std::string> problems;
    const station::Report report = station::readReport(files, filter, problems);
    for (const auto& problem : problems) {
        std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
    }
    // A report missing a file's records would pass for the whole one.
    if (report.unopened > 0) {
        return kExitUsage;
    }
    std::fputs(options.json ? jsonLine(station::reportJson(report)).c_str()
                            : station::reportText(report).c_str(),
               stdout);
    return kExitOk;
}

} // namespace cli
