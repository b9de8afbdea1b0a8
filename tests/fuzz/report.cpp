// The record reader of --report over whole files of any content (torn, huge,
// not UTF-8, wrongly typed lines; plain or gzip-compressed): every line is a
// record or a problem named by its number, and every table and object made
// of them is shown safely; a station counts its units' attempts from them.
#include "station/Report.h"
#include "Fuzz.h"
#include "station/Station.h"

#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An input beginning with 0xFF has a mebibyte of spaces put behind its
    // first byte: a line longer than the longest read.
    std::string text(reinterpret_cast<const char*>(data), size);
    if (size > 1 && data[0] == 0xFF) {
        text.replace(0, 2, std::string(1, text[1]) + std::string(1u << 20, ' '));
    }
    const int fd = memfd_create("records", MFD_CLOEXEC);
    FUZZ_REQUIRE(write(fd, text.data(), text.size()) == ssize_t(text.size()));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::vector<std::string> problems;
    std::vector<station::RecordRow> rows;
    const auto report = station::readReport({path}, {}, problems, [&](const auto& row) {
        rows.push_back(row);
        station::csvRow(row);
    });
    station::Attempts attempts(path); // as a station counts them
    close(fd);

    int lines = 0; // not blank
    for (const auto line : fuzz::split(text, '\n')) {
        lines += line.find_first_not_of(" \t\r") != std::string_view::npos ? 1 : 0;
    }
    FUZZ_REQUIRE(problems.size() == size_t(report.unreadable + report.unopened) &&
                 size_t(report.records) == rows.size());
    FUZZ_REQUIRE(text.starts_with("\x1f\x8b") || report.records + report.unreadable == lines);
    FUZZ_REQUIRE(fuzz::shown(station::reportText(report), true));
    (void)station::reportJson(report).dump();
    station::sortByStart(rows);
    FUZZ_REQUIRE(fuzz::shown(station::unitText("unit", {}, rows), true));
    (void)station::unitJson("unit", {}, rows).dump();
    return 0;
}
