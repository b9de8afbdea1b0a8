#include "station/Report.h"

#include "flash/FlashRecord.h"
#include "flash/calendar.h"
#include "flash/printable.h"
#include "station/UnitTally.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <unordered_map>
#include <zlib.h>

namespace station {

namespace {

using std::chrono::system_clock;

// Reads `count` decimal digits at `at`.
bool digits(std::string_view text, size_t& at, size_t count, int& value) {
    if (at + count > text.size()) {
        return false;
    }
    value = 0;
    for (size_t end = at + count; at < end; ++at) {
        if (text[at] < '0' || text[at] > '9') {
            return false;
        }
        value = value * 10 + (text[at] - '0');
    }
    return true;
}

// Seconds from one record's time to another's, counted in the milliseconds
// they have: in the clock's nanoseconds, dates near its two ends (1678, 2262)
// would overflow the difference.
double secondsBetween(TimePoint from, TimePoint to) {
    using std::chrono::milliseconds;
    const auto ms = [](TimePoint t) {
        return std::chrono::duration_cast<milliseconds>(t.time_since_epoch());
    };
    return std::chrono::duration<double>(ms(to) - ms(from)).count();
}

bool skip(std::string_view text, size_t& at, char c) {
    if (at < text.size() && text[at] == c) {
        ++at;
        return true;
    }
    return false;
}

// The record's fields the report reads, by name in byte order.
constexpr std::string_view kFieldNames[] = {"adapter",      "adapter_serial", "attempt",
                                            "ended",        "file",           "host",
                                            "operator",     "outcome",        "port",
                                            "port_opened",  "program",        "serial_errno_text",
                                            "serial_error", "serial_what",    "sha256",
                                            "size",         "socket",         "socket_label",
                                            "started",      "target",         "transfer_seconds",
                                            "version",      "wire_bytes",     "work_order"};
static_assert(std::is_sorted(std::begin(kFieldNames), std::end(kFieldNames)));

// Reads a record line's top-level fields into a row without building the
// line's document, which would cost most of the time of a year of records.
// A field that is a string or a number is kept as text (a work order may be
// written as either); a later field of the same name wins, as it does when
// the line is parsed whole.
class RecordReader final : public nlohmann::json_sax<Json> {
public:
    explicit RecordReader(RecordRow& row)
        : row_(row), slots_{&row.adapter,      &row.adapterSerial, &row.attempt,
                            &row.endedText,    &row.file,          &row.host,
                            &row.operatorName, &outcome_,          &row.port,
                            &row.portOpened,   &row.program,       &serialErrnoText_,
                            &serialError_,     &serialWhat_,       &row.sha256,
                            &row.size,         &row.socketPath,    &row.socketLabel,
                            &row.startedText,  &row.target,        &row.transferSeconds,
                            &row.version,      &row.wireBytes,     &row.workOrder} {}

    // Reads the line into the row; false, with the reason, for a line that
    // holds no flash record (not JSON, not an object, no valid "started",
    // "ended" or "outcome").
    bool read(std::string_view line, std::string& why) {
        clear();
        if (!scanFlat(line)) {
            clear();
            if (!Json::sax_parse(line.begin(), line.end(), this)) {
                why = "not JSON";
                return false;
            }
        }
        if (!object_) {
            why = "not an object";
            return false;
        }
        const auto started = parseIsoTime(row_.startedText);
        const auto ended = parseIsoTime(row_.endedText);
        const auto outcome = outcomeNamed(outcome_);
        if (!started || !ended || !outcome) {
            why = !started ? "no valid \"started\""
                  : !ended ? "no valid \"ended\""
                           : "no valid \"outcome\"";
            return false;
        }
        row_.started = *started;
        row_.ended = *ended;
        row_.outcome = *outcome;
        row_.cause.clear();
        if (*outcome != FlashOutcome::Success && *outcome != FlashOutcome::Cancelled) {
            row_.cause = outcomeName(*outcome);
            // Without the number: failures that differ only in it are one
            // cause. A record of an older version has only the text.
            const auto failure =
                *outcome != FlashOutcome::SerialFailure ? std::nullopt
                : !serialWhat_.empty()
                    ? std::optional(SerialFailure{serialWhat_, 0, serialErrnoText_})
                    : failureFromText(serialError_);
            if (failure) {
                row_.cause += ": " + failureText(*failure, FailureForm::Reason);
            }
        }
        row_.unit = row_.ownUnit ? std::string() : row_.adapterSerial;
        row_.socket = !row_.socketLabel.empty()  ? row_.socketLabel
                      : !row_.socketPath.empty() ? row_.socketPath
                                                 : "-";
        return true;
    }

    bool null() override { return text({}); }
    bool boolean(bool value) override {
        if (depth_ == 1 && own_) {
            row_.ownUnit = value;
        }
        // Of the fields kept, only "port_opened" is a boolean.
        return text(slot_ == &row_.portOpened ? (value ? "true" : "false") : "");
    }
    bool number_integer(number_integer_t value) override { return text(std::to_string(value)); }
    bool number_unsigned(number_unsigned_t value) override { return text(std::to_string(value)); }
    bool number_float(number_float_t, const string_t& written) override { return text(written); }
    bool string(string_t& value) override { return text(value); }
    bool binary(binary_t&) override { return text({}); }
    bool start_object(std::size_t) override {
        object_ = object_ || depth_ == 0;
        text({});
        ++depth_;
        return true;
    }
    bool key(string_t& name) override {
        if (depth_ == 1) {
            pick(name);
        }
        return true;
    }
    bool end_object() override {
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override {
        text({});
        ++depth_;
        return true;
    }
    bool end_array() override {
        --depth_;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    void clear() {
        for (std::string* slot : slots_) {
            slot->clear();
        }
        row_.ownUnit = false;
        slot_ = nullptr;
        own_ = false;
        depth_ = 0;
        object_ = false;
    }

    // Reads a line that is an object of strings without escapes, numbers,
    // true, false and null, as records are, several times faster than the
    // general parser. False for anything else, and for any doubt about its
    // being JSON: the general parser then reads the line and judges it.
    bool scanFlat(std::string_view line) {
        size_t at = 0;
        const auto space = [&] {
            while (at < line.size() &&
                   (line[at] == ' ' || line[at] == '\t' || line[at] == '\r' || line[at] == '\n')) {
                ++at;
            }
        };
        const auto next = [&](char c) {
            space();
            return at < line.size() && line[at] == c ? (++at, true) : false;
        };
        if (!next('{')) {
            return false;
        }
        object_ = true;
        depth_ = 1;
        std::string_view name;
        std::string_view value;
        for (bool first = true; !next('}'); first = false) {
            if ((!first && !next(',')) || !next('"') || !scanString(line, at, name) || !next(':')) {
                return false;
            }
            pick(name);
            space();
            if (at < line.size() && line[at] == '"') {
                if (!scanString(line, at += 1, value)) {
                    return false;
                }
                text(value);
            } else if (const size_t end = line.find_first_of(" \t\r\n,}", at);
                       end != std::string_view::npos) {
                value = line.substr(at, end - at);
                at = end;
                if (value == "true" || value == "false") {
                    boolean(value == "true");
                } else if (value == "null") {
                    text({});
                } else if (isNumber(value)) {
                    text(value);
                } else {
                    return false;
                }
            } else {
                return false;
            }
        }
        space();
        return at == line.size();
    }

    // The string from `at` (after its opening quote) to its closing quote,
    // which `at` is moved past. False for an escape, a control character or
    // bytes that are not UTF-8.
    static bool scanString(std::string_view line, size_t& at, std::string_view& text) {
        const size_t from = at;
        while (at < line.size()) {
            const auto c = static_cast<unsigned char>(line[at]);
            if (c == '"') {
                text = line.substr(from, at++ - from);
                return true;
            }
            if (c == '\\' || c < 0x20) {
                return false;
            }
            const size_t length = c < 0x80 ? 1 : utf8Length(line.substr(at));
            if (length == 0) {
                return false;
            }
            at += length;
        }
        return false;
    }

    // The length of the UTF-8 sequence the text starts with (as RFC 3629 has
    // them: no overlong forms, surrogates or code points past U+10FFFF); 0 for
    // none.
    static size_t utf8Length(std::string_view text) {
        const auto byte = [&text](size_t i) -> unsigned {
            return i < text.size() ? static_cast<unsigned char>(text[i]) : 0U;
        };
        const unsigned lead = byte(0);
        const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                              : lead >= 0xE0 && lead <= 0xEF ? 3
                              : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                             : 0;
        // The second byte's range depends on the first; the rest are 80..BF.
        const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
        const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
        if (length == 0 || byte(1) < low || byte(1) > high) {
            return 0;
        }
        for (size_t i = 2; i < length; ++i) {
            if (byte(i) < 0x80 || byte(i) > 0xBF) {
                return 0;
            }
        }
        return length;
    }

    // A JSON number whose text is the general parser's too: an integer
    // without "-0" and short enough for 64 bits, or one with a fraction or
    // exponent (whose text is kept as written).
    static bool isNumber(std::string_view text) {
        size_t at = text.starts_with('-') ? 1 : 0;
        const auto digits = [&text, &at] {
            const size_t from = at;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
                ++at;
            }
            return at - from;
        };
        const size_t whole = digits();
        if (whole == 0 || (whole > 1 && text[at - whole] == '0')) {
            return false;
        }
        const size_t integer = at;
        if (at < text.size() && text[at] == '.' && (++at, digits() == 0)) {
            return false;
        }
        if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
            const bool sign = at + 1 < text.size() && (text[at + 1] == '+' || text[at + 1] == '-');
            at += sign ? 2 : 1;
            if (digits() == 0) {
                return false;
            }
        }
        const bool plain = integer == text.size();
        return at == text.size() && (!plain || (whole <= 18 && text != "-0"));
    }

    // The field the value that comes next belongs to.
    void pick(std::string_view name) {
        const auto* found = std::lower_bound(std::begin(kFieldNames), std::end(kFieldNames), name);
        slot_ = found != std::end(kFieldNames) && *found == name
                    ? slots_[static_cast<size_t>(found - std::begin(kFieldNames))]
                    : nullptr;
        own_ = name == "own_unit";
        if (own_) {
            row_.ownUnit = false;
        }
    }

    // A value at the top level is its field's text; one inside leaves it.
    bool text(std::string_view value) {
        if (depth_ == 1 && slot_ != nullptr) {
            slot_->assign(value);
        }
        return true;
    }

    RecordRow& row_;
    std::string outcome_;
    std::string serialError_;
    std::string serialErrnoText_; // with serial_what, the failure of a record that has its fields
    std::string serialWhat_;
    std::string* const slots_[std::size(kFieldNames)];
    std::string* slot_ = nullptr; // the field of the value that comes next
    bool own_ = false;            // the value that comes next is "own_unit"
    bool object_ = false;
    int depth_ = 0;
};

// A longer line is no record (they take well under a kilobyte), and is not
// held whole: a file given by mistake must not fill the memory.
constexpr size_t kMaxLine = size_t{1} << 20;

// A record file's lines, plain or gzip-compressed: zlib tells them apart by
// the first bytes (1f 8b) and passes a plain file through as it is.
class LineFile {
public:
    explicit LineFile(const std::string& path)
        : path_(path), file_(gzopen(path.c_str(), "rbe")), openError_(errno) {
        if (file_ != nullptr) {
            gzbuffer(file_, 1U << 17);
        }
    }
    ~LineFile() {
        if (file_ != nullptr) {
            gzclose_r(file_);
        }
    }
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;

    // Why the file could not be opened; nothing when it is open.
    std::optional<std::string> openFailure() const {
        return file_ == nullptr ? std::optional(std::string(std::strerror(openError_)))
                                : std::nullopt;
    }

    // The next line without its line feed, valid until the next call; false
    // at the end or on a failure. A line longer than kMaxLine comes cut to
    // that length with `whole` false, and its rest is skipped.
    bool next(std::string_view& line, bool& whole) {
        for (;;) {
            const char* from = buffer_.get() + begin_;
            const size_t size = end_ - begin_;
            const auto* feed = static_cast<const char*>(std::memchr(from, '\n', size));
            if (feed != nullptr || (done_ && size > 0) || size == kMaxLine) {
                const size_t length = feed != nullptr ? static_cast<size_t>(feed - from) : size;
                begin_ += feed != nullptr ? length + 1 : length;
                const bool tail = skipping_;
                skipping_ = feed == nullptr && !done_;
                if (!tail) {
                    line = {from, length};
                    whole = !skipping_;
                    return true;
                }
            } else if (done_) {
                return false;
            } else {
                fill();
            }
        }
    }

    // Why the reading stopped before the end of the file; nothing at its end.
    const std::optional<std::string>& readFailure() const { return failure_; }

private:
    void fill() {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        const int n = gzread(file_, buffer_.get() + end_, static_cast<unsigned>(kMaxLine - end_));
        if (n > 0) {
            end_ += static_cast<size_t>(n);
            return;
        }
        done_ = true;
        const int err = errno;
        int code = Z_OK;
        std::string_view text = gzerror(file_, &code);
        if (text.starts_with(path_ + ": ")) {
            text.remove_prefix(path_.size() + 2);
        }
        if (code == Z_ERRNO) {
            failure_ = std::strerror(err);
        } else if (code == Z_BUF_ERROR) {
            failure_ = "the compressed data ends early (" + std::string(text) + ")";
        } else if (code != Z_OK) {
            failure_ = "corrupt compressed data (" + std::string(text) + ")";
        }
    }

    const std::string path_;
    gzFile file_;
    int openError_;
    // Left uninitialised: only the part a file's lines fill is ever touched.
    std::unique_ptr<char[]> buffer_ = std::make_unique_for_overwrite<char[]>(kMaxLine);
    size_t begin_ = 0;
    size_t end_ = 0;
    bool done_ = false;
    bool skipping_ = false; // the rest of a line longer than kMaxLine
    std::optional<std::string> failure_;
};

bool kept(const RecordRow& run, const ReportFilter& filter) {
    return (!filter.since || run.started >= *filter.since) &&
           (!filter.workOrder || run.workOrder == *filter.workOrder);
}

void tally(RunCounts& counts, FlashOutcome outcome) {
    ++counts.runs;
    if (outcome == FlashOutcome::Success) {
        ++counts.passed;
    } else if (outcome == FlashOutcome::Cancelled) {
        ++counts.cancelled;
    } else {
        ++counts.failed;
    }
}

// The value at fraction `p` of the sorted values, between the nearest two.
double percentile(const std::vector<double>& sorted, double p) {
    const double at = p * static_cast<double>(sorted.size() - 1);
    const size_t lower = static_cast<size_t>(at);
    const size_t upper = std::min(lower + 1, sorted.size() - 1);
    return sorted[lower] + (sorted[upper] - sorted[lower]) * (at - static_cast<double>(lower));
}

// The figures over the runs, taken one at a time in the order read: a unit's
// first and latest attempts are those that started first and last, whatever
// the order of the lines (of runs that started together, the one read first
// is the earlier).
class Summary {
public:
    explicit Summary(Report& report) : report_(report) {}

    void add(const RecordRow& run) {
        ++report_.records;
        tally(report_.runs, run.outcome);
        tally(sockets_[run.socket], run.outcome);
        tally(images_[run.file][run.sha256], run.outcome);
        // A clock stepped back during a run leaves it without a time of its own.
        if (run.ended >= run.started) {
            seconds_.push_back(secondsBetween(run.started, run.ended));
        }
        report_.firstStarted = std::min(report_.firstStarted.value_or(run.started), run.started);
        report_.lastEnded = std::max(report_.lastEnded.value_or(run.ended), run.ended);
        if (!run.cause.empty()) {
            ++causes_[run.cause];
        }
        // A run whose port never opened reached no unit: a run, not a unit.
        if (run.portOpened != "false") {
            units_.add(run.unit, run.outcome, run.started.time_since_epoch(),
                       run.ended.time_since_epoch());
        }
    }

    void finish() {
        Report& report = report_;
        report.units = units_.units();
        report.unitsPassed = units_.passed();
        report.unitsFailed = units_.failed();
        report.firstPass = units_.firstPass();
        report.firstPassYield = units_.firstPassYield();
        report.unitsPerHour = units_.unitsPerHour();
        if (!seconds_.empty()) {
            std::sort(seconds_.begin(), seconds_.end());
            report.medianSeconds = percentile(seconds_, 0.5);
            report.p95Seconds = percentile(seconds_, 0.95);
        }
        for (const auto& [cause, n] : causes_) {
            report.failures.push_back({cause, n});
        }
        std::stable_sort(
            report.failures.begin(), report.failures.end(),
            [](const CauseCount& a, const CauseCount& b) { return a.count > b.count; });
        for (const auto& [socket, counts] : sockets_) {
            report.sockets.push_back({socket, counts});
        }
        for (const auto& [file, hashes] : images_) {
            for (const auto& [sha256, counts] : hashes) {
                report.images.push_back({file, sha256, counts});
            }
        }
    }

private:
    Report& report_;
    UnitTally units_;
    std::map<std::string, int> causes_;
    std::map<std::string, RunCounts> sockets_;
    std::map<std::string, std::map<std::string, RunCounts>> images_; // by file, then hash
    std::vector<double> seconds_;
};

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Rows of cells in columns two spaces apart, indented by two; `align` has an
// 'l' or 'r' for each column. The cells are a record's text, shown escaped.
std::string table(std::vector<std::vector<std::string>> rows, std::string_view align) {
    std::vector<size_t> widths(align.size(), 0);
    for (auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            row[i] = printable(row[i]);
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            const std::string pad(widths[i] - row[i].size(), ' ');
            line += "  " + (align[i] == 'l' ? row[i] + pad : pad + row[i]);
        }
        text += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    }
    return text;
}

std::vector<std::string> countCells(const RunCounts& counts) {
    return {std::to_string(counts.runs), std::to_string(counts.passed),
            std::to_string(counts.failed), std::to_string(counts.cancelled)};
}

Json countsJson(const RunCounts& counts) {
    Json json;
    json["runs"] = counts.runs;
    json["passed"] = counts.passed;
    json["failed"] = counts.failed;
    json["cancelled"] = counts.cancelled;
    return json;
}

Json rounded(const std::optional<double>& value, double scale) {
    return value ? Json(std::round(*value * scale) / scale) : Json();
}

Json timeJson(const std::optional<TimePoint>& when) {
    return when ? Json(isoTime(*when)) : Json();
}

// "Since: ..." and "Work order: ..." for the filters set.
std::string filterLines(const ReportFilter& filter) {
    std::string text;
    if (filter.since) {
        text += "Since: " + isoTime(*filter.since) + "\n";
    }
    if (filter.workOrder) {
        text += "Work order: " + printable(*filter.workOrder) + "\n";
    }
    return text;
}

constexpr const char* kColumns[] = {"started",        "ended",
                                    "seconds",        "host",
                                    "port",           "socket",
                                    "socket_label",   "adapter",
                                    "adapter_serial", "own_unit",
                                    "target",         "file",
                                    "size",           "sha256",
                                    "program",        "version",
                                    "operator",       "work_order",
                                    "attempt",        "outcome",
                                    "cause",          "transfer_seconds",
                                    "wire_bytes",     "port_opened"};
constexpr size_t kColumnCount = std::size(kColumns);

// The columns that hold numbers, for JSON.
bool numberColumn(size_t column) {
    for (const std::string_view name :
         {"seconds", "size", "attempt", "transfer_seconds", "wire_bytes"}) {
        if (kColumns[column] == name) {
            return true;
        }
    }
    return false;
}

// A row's cells in the order of kColumns; `seconds` holds the run's time.
std::array<std::string_view, kColumnCount> cells(const RecordRow& row, std::string& seconds) {
    seconds =
        row.ended >= row.started ? fixed(secondsBetween(row.started, row.ended), 3) : std::string();
    return {row.startedText,   row.endedText,
            seconds,           row.host,
            row.port,          row.socketPath,
            row.socketLabel,   row.adapter,
            row.adapterSerial, row.ownUnit ? "true" : "",
            row.target,        row.file,
            row.size,          row.sha256,
            row.program,       row.version,
            row.operatorName,  row.workOrder,
            row.attempt,       outcomeName(row.outcome),
            row.cause,         row.transferSeconds,
            row.wireBytes,     row.portOpened};
}

// One CSV cell. A spreadsheet runs a cell that begins with "=", "+", "-" or
// "@" (some also after a tab or CR) as a formula, and a record's text is
// anyone's: such a cell gets an apostrophe in front, which spreadsheets take
// as "this is text".
void appendCsvCell(std::string& line, std::string_view cell) {
    const bool quoted = std::any_of(cell.begin(), cell.end(), [](char c) {
        return c == ',' || c == '"' || c == '\r' || c == '\n';
    });
    line += quoted ? "\"" : "";
    if (!cell.empty() && std::string_view("=+-@\t\r").find(cell[0]) != std::string_view::npos) {
        line += '\'';
    }
    for (const char c : cell) {
        line += c;
        if (c == '"') {
            line += '"';
        }
    }
    line += quoted ? "\"" : "";
}

} // namespace

std::optional<TimePoint> parseIsoTime(std::string_view text) {
    size_t at = 0;
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millis = 0;
    if (!digits(text, at, 4, year) || !skip(text, at, '-') || !digits(text, at, 2, month) ||
        !skip(text, at, '-') || !digits(text, at, 2, day)) {
        return std::nullopt;
    }
    if (skip(text, at, 'T')) {
        if (!digits(text, at, 2, hour) || !skip(text, at, ':') || !digits(text, at, 2, minute)) {
            return std::nullopt;
        }
        if (skip(text, at, ':')) {
            if (!digits(text, at, 2, second)) {
                return std::nullopt;
            }
            if (skip(text, at, '.')) {
                // Milliseconds, as the records have them; finer digits are cut.
                const size_t from = at;
                for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
                    millis = at - from < 3 ? millis * 10 + (text[at] - '0') : millis;
                }
                if (at == from) {
                    return std::nullopt;
                }
                for (size_t n = at - from; n < 3; ++n) {
                    millis *= 10;
                }
            }
        }
    }
    std::optional<int> offset; // minutes east of UTC
    if (skip(text, at, 'Z')) {
        offset = 0;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at++] == '-' ? -1 : 1;
        int hours = 0;
        int minutes = 0;
        if (!digits(text, at, 2, hours) || !skip(text, at, ':') || !digits(text, at, 2, minutes) ||
            hours > 23 || minutes > 59) {
            return std::nullopt;
        }
        offset = sign * (hours * 60 + minutes);
    }
    if (at != text.size() || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
        second > 59) {
        return std::nullopt;
    }
    tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    // 31 April rolls over into May: a day the month lacks is no date.
    tm utc = fields;
    time_t seconds = calendar::fromUtc(utc);
    if (utc.tm_mday != day) {
        return std::nullopt;
    }
    if (offset) {
        seconds -= *offset * 60;
    } else {
        fields.tm_isdst = -1; // whichever the local rules say for that day
        seconds = calendar::fromLocal(fields);
    }
    // The clock counts nanoseconds: past about 2262 its time points overflow.
    constexpr time_t kLimit =
        std::chrono::duration_cast<std::chrono::seconds>(system_clock::duration::max()).count() - 1;
    if (seconds >= kLimit || seconds <= -kLimit) {
        return std::nullopt;
    }
    return system_clock::from_time_t(seconds) + std::chrono::milliseconds(millis);
}

Report readReport(const std::vector<std::string>& files, const ReportFilter& filter,
                  std::vector<std::string>& problems,
                  const std::function<void(const RecordRow&)>& each) {
    Report report;
    report.filter = filter;
    Summary summary(report);
    RecordRow row;
    RecordReader reader(row);
    std::string why;
    for (const auto& path : files) {
        LineFile file(path);
        if (const auto failure = file.openFailure()) {
            problems.push_back(path + ": " + *failure);
            ++report.unopened;
            continue;
        }
        std::string_view line;
        bool whole = true;
        for (uint64_t number = 1; file.next(line, whole); ++number) {
            if (line.find_first_not_of(" \t\r") == std::string_view::npos) {
                continue;
            }
            if (!whole || !reader.read(line, why)) {
                ++report.unreadable;
                problems.push_back(path + ":" + std::to_string(number) + ": not a flash record (" +
                                   (whole ? why : "longer than 1 MiB") + ")");
            } else if (kept(row, filter)) {
                summary.add(row);
                if (each) {
                    each(row);
                }
            }
        }
        // The records before a failure are kept, but the report is not whole.
        if (const auto& failure = file.readFailure()) {
            problems.push_back(path + ": " + *failure);
            ++report.unopened;
        }
    }
    summary.finish();
    return report;
}

std::string reportText(const Report& report) {
    const auto number = [](int n) { return std::to_string(n); };
    std::string text = filterLines(report.filter);
    text += "Records: " + number(report.records);
    text += report.unreadable > 0 ? ", " + number(report.unreadable) + " unreadable\n" : "\n";
    const int open = report.units - report.unitsPassed - report.unitsFailed;
    text += "Units: " + number(report.units) + " (" + number(report.unitsPassed) + " passed, " +
            number(report.unitsFailed) + " failed" +
            (open > 0 ? ", " + number(open) + " only cancelled)\n" : ")\n");
    text += "First-pass yield: ";
    text += report.firstPassYield
                ? fixed(*report.firstPassYield * 100, 1) + " % (" + number(report.firstPass) +
                      " of " + number(report.unitsPassed + report.unitsFailed) + ")\n"
                : "-\n";
    text += "Runs: " + number(report.runs.runs) + " (" + number(report.runs.passed) + " passed, " +
            number(report.runs.failed) + " failed, " + number(report.runs.cancelled) +
            " cancelled)\n";
    text += "Time per run: ";
    text += report.medianSeconds
                ? "median " + fixed(*report.medianSeconds, 1) + " s, 95th percentile " +
                      fixed(*report.p95Seconds, 1) + " s\n"
                : "-\n";
    text += "Units per hour: " + (report.unitsPerHour ? fixed(*report.unitsPerHour, 1) : "-");
    text += report.firstStarted
                ? " (" + isoTime(*report.firstStarted) + " to " + isoTime(*report.lastEnded) + ")\n"
                : "\n";

    text += report.failures.empty() ? "\nFailures by cause: none\n" : "\nFailures by cause:\n";
    if (!report.failures.empty()) {
        std::vector<std::vector<std::string>> rows;
        for (const auto& failure : report.failures) {
            rows.push_back({number(failure.count), failure.cause});
        }
        text += table(rows, "rl");
    }
    if (!report.sockets.empty()) {
        std::vector<std::vector<std::string>> rows{
            {"socket", "runs", "passed", "failed", "cancelled"}};
        for (const auto& socket : report.sockets) {
            rows.push_back({socket.socket});
            const auto cells = countCells(socket.counts);
            rows.back().insert(rows.back().end(), cells.begin(), cells.end());
        }
        text += "\nSockets:\n" + table(rows, "lrrrr");
    }
    if (!report.images.empty()) {
        std::vector<std::vector<std::string>> rows{
            {"image", "sha256", "runs", "passed", "failed", "cancelled"}};
        for (const auto& image : report.images) {
            rows.push_back({image.file, image.sha256.empty() ? "-" : image.sha256.substr(0, 12)});
            const auto cells = countCells(image.counts);
            rows.back().insert(rows.back().end(), cells.begin(), cells.end());
        }
        text += "\nImages:\n" + table(rows, "llrrrr");
    }
    return text;
}

Json reportJson(const Report& report) {
    Json json;
    json["since"] = timeJson(report.filter.since);
    json["work_order"] = report.filter.workOrder ? Json(*report.filter.workOrder) : Json();
    json["records"] = report.records;
    json["unreadable"] = report.unreadable;
    Json units;
    units["count"] = report.units;
    units["passed"] = report.unitsPassed;
    units["failed"] = report.unitsFailed;
    units["first_pass"] = report.firstPass;
    units["first_pass_yield"] = rounded(report.firstPassYield, 1e4);
    units["per_hour"] = rounded(report.unitsPerHour, 1e2);
    json["units"] = units;
    Json runs;
    runs["count"] = report.runs.runs;
    runs["passed"] = report.runs.passed;
    runs["failed"] = report.runs.failed;
    runs["cancelled"] = report.runs.cancelled;
    runs["median_seconds"] = rounded(report.medianSeconds, 1e3);
    runs["p95_seconds"] = rounded(report.p95Seconds, 1e3);
    json["runs"] = runs;
    json["first_started"] = timeJson(report.firstStarted);
    json["last_ended"] = timeJson(report.lastEnded);
    json["failures"] = Json::array();
    for (const auto& failure : report.failures) {
        json["failures"].push_back({{"cause", failure.cause}, {"count", failure.count}});
    }
    json["sockets"] = Json::array();
    for (const auto& socket : report.sockets) {
        Json row = {{"socket", socket.socket}};
        row.update(countsJson(socket.counts));
        json["sockets"].push_back(row);
    }
    json["images"] = Json::array();
    for (const auto& image : report.images) {
        Json row = {{"file", image.file},
                    {"sha256", image.sha256.empty() ? Json() : Json(image.sha256)}};
        row.update(countsJson(image.counts));
        json["images"].push_back(row);
    }
    return json;
}

std::string csvHeader() {
    std::string line;
    for (const char* column : kColumns) {
        line += line.empty() ? column : std::string(",") + column;
    }
    return line + "\r\n";
}

std::string csvRow(const RecordRow& row) {
    std::string seconds;
    std::string line;
    line.reserve(1024); // a record's row, in one allocation
    const auto values = cells(row, seconds);
    for (size_t i = 0; i < kColumnCount; ++i) {
        if (i > 0) {
            line += ',';
        }
        appendCsvCell(line, values[i]);
    }
    return line + "\r\n";
}

void sortByStart(std::vector<RecordRow>& runs) {
    std::stable_sort(runs.begin(), runs.end(),
                     [](const RecordRow& a, const RecordRow& b) { return a.started < b.started; });
}

std::string unitText(const std::string& unit, const ReportFilter& filter,
                     const std::vector<RecordRow>& runs) {
    std::string text = filterLines(filter) + "Unit " + printable(unit) + ": ";
    if (runs.empty()) {
        return text + "no runs\n";
    }
    text += std::to_string(runs.size()) + (runs.size() == 1 ? " run\n" : " runs\n");
    std::vector<std::vector<std::string>> rows{{"started", "host", "socket", "image", "sha256",
                                                "operator", "work order", "attempt", "outcome"}};
    const auto cell = [](const std::string& value) { return value.empty() ? "-" : value; };
    for (const RecordRow& run : runs) {
        rows.push_back({run.startedText, cell(run.host), run.socket, cell(run.file),
                        cell(run.sha256.substr(0, 12)), cell(run.operatorName), cell(run.workOrder),
                        cell(run.attempt),
                        run.cause.empty() ? outcomeName(run.outcome) : run.cause});
    }
    return text + table(rows, "lllllllrl");
}

Json unitJson(const std::string& unit, const ReportFilter& filter,
              const std::vector<RecordRow>& runs) {
    Json json;
    json["unit"] = unit;
    json["since"] = timeJson(filter.since);
    json["work_order"] = filter.workOrder ? Json(*filter.workOrder) : Json();
    json["runs"] = Json::array();
    std::string seconds;
    for (const RecordRow& run : runs) {
        Json row = Json::object();
        const auto values = cells(run, seconds);
        for (size_t i = 0; i < kColumnCount; ++i) {
            Json value = values[i].empty() ? Json() : Json(values[i]);
            if (numberColumn(i) && !values[i].empty()) {
                const Json number = Json::parse(values[i], nullptr, false);
                value = number.is_number() ? number : value;
            }
            row[kColumns[i]] = std::move(value);
        }
        row["own_unit"] = run.ownUnit;
        row["port_opened"] = run.portOpened.empty() ? Json() : Json(run.portOpened == "true");
        json["runs"].push_back(std::move(row));
    }
    return json;
}

} // namespace station
