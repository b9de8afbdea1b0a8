// What the window and the CLI share about a firmware file.
#include "flash/FirmwareFile.h"

#include <gtest/gtest.h>

namespace {

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
