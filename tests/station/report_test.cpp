// The production report over a record file of one station's morning, plain
// and gzip-compressed: retries, cancelled runs, serial-less adapters, old
// records without station fields, lines that are no records, a torn last
// line, and the filters; one unit's runs; spreadsheet cells.
#include "flash/FlashRecord.h"
#include "station/Report.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace {

const std::string kHash = "0123456789abcdef" + std::string(48, '0');

// A run of 7 December 2026 (+01:00) from `started` to `ended` ("HH:MM:SS"),
// with the members in `more`.
std::string rec(const char* started, const char* ended, const char* serial, const char* outcome,
                const std::string& more = "") {
    const auto at = [](const char* t) { return "\"2026-12-07T" + std::string(t) + ".000+01:00\""; };
    return R"({"started":)" + at(started) + R"(,"ended":)" + at(ended) + R"(,"adapter_serial":")" +
           serial + R"(","file":"halvo-2.4.1.bintx","sha256":")" + kHash + R"(","outcome":")" +
           outcome + "\"" + more + "}";
}

const std::string kSocketA1 = R"(,"socket":"1-1.3","socket_label":"A1","work_order":"WO-1")";
const std::string kDenied = R"(,"serial_error":"Error opening serial port /dev/ttyUSB3 -)"
                            R"( Permission denied(13).")";
// As records carry it now, with another number: the same cause.
const std::string kDeniedFields = R"(,"serial_errno":1,"serial_errno_text":"Permission denied",)"
                                  R"("serial_what":"Error opening serial port /dev/ttyUSB3")";

const std::string kRecords[] = {
    rec("14:01:00", "14:01:20", "S1", "success", kSocketA1), // the retry, written first
    rec("14:00:00", "14:00:30", "S1", "no banner", kSocketA1),
    "{not json",
    rec("14:02:00", "14:02:10", "S2", "success", R"(,"socket":"1-1.4","work_order":"WO-1")"),
    rec("14:03:00", "14:03:40", "", "success"),
    rec("14:04:00", "14:04:00", "", "serial failure",
        kDenied + R"(,"port_opened":false)"), // a run, no unit
    rec("14:05:00", "14:05:10", "S3", "cancelled"),
    "[1,2]",
    R"({"started":"yesterday","ended":"2026-12-07T14:00:00.000+01:00","outcome":"success"})",
    rec("14:06:00", "14:06:20", "S2", "success", R"(,"own_unit":true,"work_order":"WO-2")"),
    rec("14:07:00", "14:07:05", "S4", "cancelled"),
    rec("14:07:10", "14:07:35", "S4", "success",
        R"(,"operator":"=cmd|' /C calc'!A0","port_opened":true)"),
    R"({"started":"2026-12-07T13:11:58.000Z","ended":"2026-12-07T13:12:00.000Z",)"
    R"("adapter_serial":"S5","file":"morra\u001b[2J.binrx","sha256":null,)"
    R"("outcome":"serial failure")" +
        kDeniedFields + "}",
    "",
    R"({"started":"2026-12-07T14:08:00.000+01:00","end)", // a run cut off by a power cut
};

// "socket:runs/passed/failed/cancelled ..." and the same per image.
std::string rows(const station::Report& report) {
    std::string text;
    const auto add = [&text](const std::string& name, const station::RunCounts& c) {
        text += " " + name + ":" + std::to_string(c.runs) + "/" + std::to_string(c.passed) + "/" +
                std::to_string(c.failed) + "/" + std::to_string(c.cancelled);
    };
    for (const auto& socket : report.sockets) {
        add(socket.socket, socket.counts);
    }
    text += " |";
    for (const auto& image : report.images) {
        add(image.file + "@" + image.sha256.substr(0, 4), image.counts);
    }
    return text;
}

TEST(Report, FiguresOverRecordsAndFilters) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    const std::string path = testing::TempDir() + "flashes.jsonl";
    std::string lines;
    for (const auto& line : kRecords) {
        lines += (lines.empty() ? "" : "\n") + line;
    }
    std::ofstream(path) << lines;
    const std::string gz = path + ".1.gz";
    gzFile out = gzopen(gz.c_str(), "wb");
    gzwrite(out, lines.data(), static_cast<unsigned>(lines.size()));
    gzclose(out);

    struct Case {
        const char* since;
        const char* workOrder;
        const char* rows;
        std::vector<std::string> lines; // in this order in the text
    } cases[] = {
        {"",
         "",
         " -:7/3/2/2 1-1.4:1/1/0/0 A1:2/1/1/0 | halvo-2.4.1.bintx@0123:9/5/2/2 "
         "morra\x1b[2J.binrx@:1/0/1/0",
         {"Records: 10, 4 unreadable", "Units: 7 (5 passed, 1 failed, 1 only cancelled)",
          "First-pass yield: 66.7 % (4 of 6)", "Runs: 10 (5 passed, 3 failed, 2 cancelled)",
          "Time per run: median 15.0 s, 95th percentile 35.5 s",
          "Units per hour: 35.0 (2026-12-07T14:00:00.000+01:00 to 2026-12-07T14:12:00.000+01:00)",
          "  2  serial failure: Error opening serial port /dev/ttyUSB3 - Permission denied",
          "  1  no banner", "  halvo-2.4.1.bintx   0123456789ab     9",
          "  morra\\x1b[2J.binrx  -"}},
        {"",
         "WO-1",
         " 1-1.4:1/1/0/0 A1:2/1/1/0 | halvo-2.4.1.bintx@0123:3/2/1/0",
         {"Work order: WO-1", "Records: 3, 4 unreadable", "Units: 2 (2 passed, 0 failed)",
          "First-pass yield: 50.0 % (1 of 2)", "Runs: 3 (2 passed, 1 failed, 0 cancelled)",
          "Time per run: median 20.0 s, 95th percentile 29.0 s", "Units per hour: 55.4 ("}},
        {"2026-12-07T14:05",
         "",
         " -:5/2/1/2 | halvo-2.4.1.bintx@0123:4/2/0/2 morra\x1b[2J.binrx@:1/0/1/0",
         {"Since: 2026-12-07T14:05:00.000+01:00", "Units: 4 (2 passed, 1 failed, 1 only cancelled)",
          "First-pass yield: 66.7 % (2 of 3)", "Runs: 5 (2 passed, 1 failed, 2 cancelled)",
          "Time per run: median 10.0 s, 95th percentile 24.0 s", "Units per hour: 34.3 ("}},
        {"2026-12-08",
         "",
         " |",
         {"Records: 0, 4 unreadable", "First-pass yield: -", "Time per run: -",
          "Units per hour: -\n\nFailures by cause: none\n"}},
    };
    for (const auto& c : cases) {
        station::ReportFilter filter;
        if (*c.since != '\0') {
            filter.since = station::parseIsoTime(c.since);
            ASSERT_TRUE(filter.since) << c.since;
        }
        if (*c.workOrder != '\0') {
            filter.workOrder = c.workOrder;
        }
        for (const std::string& file : {path, gz}) {
            std::vector<std::string> problems;
            const station::Report report = station::readReport({file}, filter, problems);
            const std::string text = station::reportText(report);
            EXPECT_EQ(rows(report), c.rows) << c.since << c.workOrder << file;
            size_t at = 0;
            for (const auto& line : c.lines) {
                at = text.find(line, at);
                EXPECT_NE(at, std::string::npos) << line << "\nin:\n" << text;
            }
            EXPECT_EQ(problems, (std::vector<std::string>{
                                    file + ":3: not a flash record (not JSON)",
                                    file + ":8: not a flash record (not an object)",
                                    file + ":9: not a flash record (no valid \"started\")",
                                    file + ":15: not a flash record (not JSON)"}));
        }
    }

    // A unit's runs in the order they started, other units and a unit of its
    // own with the same serial left out, the filters still holding.
    std::vector<station::RecordRow> runs;
    const auto unit = [&](const char* serial, const station::ReportFilter& filter) {
        std::vector<std::string> problems;
        runs.clear();
        station::readReport({gz}, filter, problems, [&](const station::RecordRow& row) {
            if (row.unit == serial) {
                runs.push_back(row);
            }
        });
        station::sortByStart(runs);
        return station::unitText(serial, filter, runs);
    };
    EXPECT_EQ(unit("S1", {}),
              "Unit S1: 2 runs\n"
              "  started                        host  socket  image              sha256        "
              "operator  work order  attempt  outcome\n"
              "  2026-12-07T14:00:00.000+01:00  -     A1      halvo-2.4.1.bintx  0123456789ab  -"
              "         WO-1              -  no banner\n"
              "  2026-12-07T14:01:00.000+01:00  -     A1      halvo-2.4.1.bintx  0123456789ab  -"
              "         WO-1              -  success\n");
    EXPECT_EQ(unit("S2", {.since = {}, .workOrder = "WO-2"}),
              "Work order: WO-2\nUnit S2: no runs\n");
    EXPECT_EQ(unit("S5", {}).substr(0, 16), "Unit S5: 1 run\n ");
    EXPECT_EQ(station::unitJson("S5", {}, runs)["runs"][0]["cause"],
              "serial failure: Error opening serial port /dev/ttyUSB3 - Permission denied");
    EXPECT_EQ(station::unitJson("S5", {}, runs)["runs"][0]["sha256"], nullptr);

    // Spreadsheet rows: a formula-looking cell stays text, quoting as RFC 4180 has it.
    unit("S4", {});
    ASSERT_EQ(runs.size(), 2U);
    EXPECT_EQ(station::csvRow(runs[1]),
              "2026-12-07T14:07:10.000+01:00,2026-12-07T14:07:35.000+01:00,25.000,,,,,,S4,,,"
              "halvo-2.4.1.bintx,," +
                  kHash + ",,,'=cmd|' /C calc'!A0,,,success,,,,true\r\n");
    EXPECT_EQ(station::csvHeader().substr(0, 22), "started,ended,seconds,");
    station::RecordRow row;
    for (const auto& [cell, written] : std::vector<std::pair<std::string, std::string>>{
             {"+31 20 555", "'+31 20 555"},
             {"-1", "'-1"},
             {"@SUM(A1)", "'@SUM(A1)"},
             {"\t=1", "'\t=1"},
             {"\r=1", "\"'\r=1\""},
             {"a=b", "a=b"},
             {"Kovač, A.", "\"Kovač, A.\""},
             {"say \"hi\"\nagain", "\"say \"\"hi\"\"\nagain\""},
             {"=\"x\"", "\"'=\"\"x\"\"\""}}) {
        row.host = cell;
        EXPECT_EQ(station::csvRow(row).substr(0, 11 + written.size()), ",,0.000," + written + ",,,")
            << cell;
    }
    std::vector<std::string> problems;
    const Json json = station::reportJson(station::readReport({path}, {}, problems));
    EXPECT_EQ(json["units"]["first_pass_yield"], 0.6667);
    EXPECT_EQ(json["runs"]["p95_seconds"], 35.5);
    EXPECT_EQ(json["failures"][0]["count"], 2);
    EXPECT_EQ(json["images"][1]["sha256"], nullptr);

    const station::Report none = station::readReport({path + ".none"}, {}, problems);
    EXPECT_EQ(none.unopened, 1);
    EXPECT_EQ(problems.back(), path + ".none: No such file or directory");
    // A compressed file cut short: its lines up to there, and the report is not whole.
    std::ifstream in(gz, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    std::ofstream(path + ".2.gz", std::ios::binary) << bytes.substr(0, bytes.size() * 3 / 4);
    EXPECT_EQ(station::readReport({path + ".2.gz"}, {}, problems).unopened, 1);
    EXPECT_EQ(problems.back(),
              path + ".2.gz: the compressed data ends early (unexpected end of file)");
    for (const char* bad :
         {"2026-02-30", "2026-12-07T25:00", "2026-12-07T14:00+1", "20261207", "3026-12-07"}) {
        EXPECT_FALSE(station::parseIsoTime(bad)) << bad;
    }
    // A run over the clock's whole range: its time does not overflow.
    std::ofstream(path) << R"({"started":"1700-01-01T00:00Z","ended":"2250-01-01T00:00Z",)"
                           R"("outcome":"success"})";
    EXPECT_EQ(station::readReport({path}, {}, problems).medianSeconds, 17356291200.0);
}

// Sixteen loaders append their records to one file while one of them is
// killed at random points, over and over: every record is there whole, once,
// and those of the loaders left alone all of them. Then the disk fills up (a
// file size limit here) in the middle of a record: the loader is told, the
// torn last line is named by its number, and the next record is read behind it.
TEST(Report, RecordsOfLoadersSideBySideOneKilledThenTheDiskFull) {
    const std::string path = testing::TempDir() + "shared.jsonl";
    std::remove(path.c_str());
    std::vector<pid_t> loaders;
    std::mt19937 random(std::random_device{}());
    for (int id = 1; id < 36; ++id) { // from the 16th on, the one killed, started again
        loaders.push_back(fork());
        for (int n = 0; loaders.back() == 0 && n < 30; ++n) {
            const std::string pad(static_cast<size_t>(n * 97 % 1500), 'x'); // some cross pages
            appendRecord(path, rec("14:00:00", "14:00:10", std::to_string(id * 100 + n).c_str(),
                                   "success", R"(,"pad":")" + pad + "\"") +
                                   "\n");
        }
        if (loaders.back() == 0) {
            _exit(0);
        }
        if (id >= 16) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
            kill(loaders.back(), SIGKILL);
        }
    }
    for (const pid_t pid : loaders) {
        waitpid(pid, nullptr, 0);
    }
    std::multiset<int> read;
    std::vector<std::string> problems;
    const auto count = [&] {
        read.clear();
        problems.clear();
        return station::readReport(
                   {path}, {}, problems,
                   [&](const station::RecordRow& row) { read.insert(std::stoi(row.unit)); })
            .records;
    };
    const int records = count();
    for (const int serial : read) {
        EXPECT_EQ(read.count(serial), 1U) << serial;
    }
    EXPECT_EQ(std::distance(read.begin(), read.lower_bound(1600)), 15 * 30);
    for (const auto& problem : problems) { // what a write cut at a page left
        EXPECT_TRUE(problem.ends_with(": not a flash record (not JSON)")) << problem;
    }

    std::ifstream in(path);
    const auto torn = std::count(std::istreambuf_iterator<char>(in), {}, '\n') + 1;
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit full{std::filesystem::file_size(path) + 40, limit.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &full);
    const std::string line = rec("14:09:00", "14:09:10", "42", "success") + "\n";
    EXPECT_EQ(appendRecord(path, line).value_or(""),
              path + ": only 40 of " + std::to_string(line.size()) + " bytes written");
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string named = path + ":" + std::to_string(torn) + ": not a flash record (not JSON)";
    EXPECT_EQ(count(), records);
    EXPECT_EQ(problems.back(), named);
    EXPECT_EQ(appendRecord(path, line), std::nullopt);
    EXPECT_EQ(count(), records + 1);
    EXPECT_EQ(problems.back(), named);
}

} // namespace
