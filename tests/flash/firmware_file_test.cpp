// What the window and the CLI share about a firmware file.
#include "flash/FirmwareFile.h"

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
        {dir / "pipe.bin", 0, 0, "not a regular file"},              // would wait for a writer
        {dir / "huge.bin", ZKFW::kMaxImageSize + 1, 4ULL << 30, ""}, // refused by the engine
    };
    for (const auto& c : cases) {
        const FirmwareFile file = readFirmwareFile(c.path);
        EXPECT_EQ(file.image ? file.image->size() : 0, c.imageSize) << c.path;
        EXPECT_EQ(file.size, c.size) << c.path;
        EXPECT_EQ(file.reason, c.reason) << c.path;
    }
    std::filesystem::remove_all(dir);
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
}

} // namespace
