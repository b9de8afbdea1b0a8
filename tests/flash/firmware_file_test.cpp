// What the window and the CLI share: a firmware file and the flash record.
#include "flash/FirmwareFile.h"
#include "flash/FlashRecord.h"
#include "flash/printable.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Only a regular file with something in it is taken, and a file too large to
// flash is read only as far as it takes to know that.
TEST(FirmwareFile, ReadsOnlyWhatCanBeFlashed) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("zk-firmware-file-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "fw.bin") << "abc";
    std::ofstream(dir / "empty.bin");
    ASSERT_EQ(mkfifo((dir / "pipe.bin").c_str(), 0600), 0);
    std::ofstream(dir / "huge.bin");
    std::filesystem::resize_file(dir / "huge.bin", 4ULL << 30); // sparse
    const struct {
        std::string path;
        size_t imageSize; // 0: refused
        uint64_t size;
        std::string reason;
    } cases[] = {
        {dir / "fw.bin", 3, 3, ""},
        {dir / "empty.bin", 0, 0, "nothing to flash"},
        {dir / "pipe.bin", 0, 0, "not a regular file"},        // would wait for a writer
        {dir / "huge.bin", kMaxImageSize + 1, 4ULL << 30, ""}, // refused by the engine
    };
    for (const auto& c : cases) {
        const FirmwareFile file = readFirmwareFile(c.path);
        EXPECT_EQ(file.image ? file.image->size() : 0, c.imageSize) << c.path;
        EXPECT_EQ(file.size, c.size) << c.path;
        EXPECT_EQ(file.reason, c.reason) << c.path;
    }
    std::filesystem::remove_all(dir);
}

// What a device or a file carries is shown, never obeyed: control characters
// and bytes that are not UTF-8 become escapes; well-formed text stays as it is.
TEST(Printable, EscapesControlsAndBrokenUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"A50285BI", "A50285BI"},
        {"A5\x1b]0;pwned\x07", "A5\\x1b]0;pwned\\x07"}, // would set the terminal's title
        {"\x1b[2J", "\\x1b[2J"},                        // would clear the screen
        {"tab\there", "tab\\x09here"},                  // would add a --list column
        {"two\nlines", "two\\x0alines"},
        {"Grüße µC", "Grüße µC"},
        {"\xc2\x9b"
         "31m",
         "\\xc2\\x9b31m"}, // C1 CSI, well-formed UTF-8
        {"\xff\xfe", "\\xff\\xfe"},
        {"\xc0\xaf", "\\xc0\\xaf"},          // overlong "/"
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"}, // a surrogate
        {"cut \xe2\x82", "cut \\xe2\\x82"},  // torn at the end
        {std::string("nul\0x", 5), "nul\\x00x"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(printable(text), shown) << text;
    }
    EXPECT_EQ(printable("line\n  NOTE\x1b", true), "line\n  NOTE\\x1b");
}

TEST(FirmwareFile, OnlyExactBinrxSelectsTheReceiver) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"unit.binrx", false}, {"unit.bintx", true}, {"unit.bin", true},       {"unit.BINRX", true},
        {".binrx", false},     {"binrx", true},      {"unit.binrx.bak", true},
    };
    for (const auto& [name, transmitter] : cases) {
        EXPECT_EQ(selectsTransmitter(name), transmitter) << name;
    }
    EXPECT_EQ(loadedLine("unit.binrx", 81920, false),
              "Loaded 'unit.binrx' with 81920 bytes for Morra (Receiver)");
    EXPECT_EQ(loadedLine("a.bin", 0, true), "Loaded 'a.bin' with 0 bytes for Halvo (Transmitter)");
    EXPECT_EQ(loadedLine("a\nStarting Application...", 1, true).substr(0, 14), "Loaded 'a\\x0aS");
}

TEST(FlashRecord, HashAndLocalTime) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(sha256Hex(abc, 3),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    setenv("TZ", "XST-05:30", 1); // five and a half hours east of UTC
    tzset();
    EXPECT_EQ(isoTime(std::chrono::system_clock::time_point(std::chrono::milliseconds(250))),
              "1970-01-01T05:30:00.250+05:30");
    unsetenv("TZ");
    tzset();
}

TEST(FlashRecord, AppendsWholeLinesWhereTheyBelong) {
    char dir[] = "/tmp/zkrecord-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string root = dir;
    const std::string file = root + "/state/zkflash/flashes.jsonl";
    EXPECT_EQ(appendRecord(file, "{\"a\":1}\n"), std::nullopt);
    EXPECT_EQ(appendRecord(file, "{\"a\":2}\n"), std::nullopt);
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{\"a\":1}\n{\"a\":2}\n");
    EXPECT_EQ(std::filesystem::status(root + "/state").permissions(),
              std::filesystem::perms::owner_all);
    EXPECT_NE(appendRecord(file + "/below", "x\n").value_or("").find("Not a directory"),
              std::string::npos);
    EXPECT_TRUE(appendRecord("", "x\n").has_value());

    // Where the record goes by default: a relative XDG_STATE_HOME is invalid.
    const std::vector<std::pair<const char*, std::string>> homes = {
        {"/xdg", "/xdg/zkflash/flashes.jsonl"},
        {"relative", root + "/.local/state/zkflash/flashes.jsonl"},
        {nullptr, root + "/.local/state/zkflash/flashes.jsonl"},
    };
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", dir, 1);
    for (const auto& [state, path] : homes) {
        state ? setenv("XDG_STATE_HOME", state, 1) : unsetenv("XDG_STATE_HOME");
        EXPECT_EQ(defaultRecordPath(), path) << (state ? state : "unset");
    }
    setenv("HOME", savedHome.c_str(), 1);
    unsetenv("XDG_STATE_HOME");
    std::filesystem::remove_all(root);
}

} // namespace
