#include <gtest/gtest.h>

#include <random>

#include "Reference.h"
#include "flash/ZKFW.h"

namespace {

using ref::Bytes;

TEST(Crc16, PublishedVectors) {
    struct Case {
        Bytes message;
        uint16_t crc;
    };
    const Case cases[] = {
        {ref::bytesOf("123456789"), 0x31C3},
        {ref::bytesOf("abc"), 0x9DD6},
        {ref::bytesOf("A"), 0x58E5},
        {Bytes(128, 0x00), 0x0000},
    };
    for (const auto& c : cases) {
        // Behind a 3-byte head, as in a packet.
        Bytes packet{0xAA, 0xBB, 0xCC};
        packet.insert(packet.end(), c.message.begin(), c.message.end());
        EXPECT_EQ(ZKFW::Cal_CRC16(packet.data(), 3, static_cast<uint32_t>(c.message.size())), c.crc)
            << std::string(c.message.begin(), c.message.end());
    }
}

TEST(Crc16, StepTrailsTheMessageBySixteenBits) {
    EXPECT_EQ(ZKFW::UpdateCRC16(0, 0x61), 0x0061);
    EXPECT_EQ(ZKFW::UpdateCRC16(ZKFW::UpdateCRC16(0x0061, 0), 0), 0x7C87); // CRC of "a"
}

TEST(Crc16, TableAgreesWithStepAndReference) {
    std::mt19937 random(7);
    for (uint32_t size : {1u, 2u, 127u, 128u, 1000u, 1024u}) {
        Bytes message(size);
        for (auto& b : message) {
            b = static_cast<uint8_t>(random());
        }
        uint16_t stepped = 0;
        for (uint8_t b : message) {
            stepped = ZKFW::UpdateCRC16(stepped, b);
        }
        stepped = ZKFW::UpdateCRC16(ZKFW::UpdateCRC16(stepped, 0), 0);
        const uint16_t table = ZKFW::Cal_CRC16(message.data(), 0, size);
        EXPECT_EQ(table, stepped) << size;
        EXPECT_EQ(table, ref::crc16(message.data(), size)) << size;
    }
}

TEST(HeaderBlock, NameTerminatorSizeTextAndZeros) {
    struct Case {
        std::string name;
        size_t nameBytes;
        std::string sizeText;
    };
    const Case cases[] = {
        {"a.bin", 5, "1000"},
        {"B\xC3\xBCro", 5, "1000"},             // 4 letters, one of them 2 bytes in UTF-8
        {std::string(1019, 'x'), 1019, "1025"}, // fills the field exactly
    };
    for (const auto& c : cases) {
        Bytes packet(ZKFW::kPacketSize, 0xEE);
        EXPECT_EQ(ZKFW::Ymodem_PrepareIntialPacket(packet.data(), c.name, c.sizeText), 0u);
        EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 3), (Bytes{0x02, 0x00, 0xFF}));
        EXPECT_EQ(packet[3 + c.nameBytes], 0x00) << c.name;
        EXPECT_EQ(Bytes(packet.begin() + 3, packet.end()), ref::headerField(c.name, c.sizeText))
            << c.name;
    }
}

TEST(HeaderBlock, OverlongInputStaysInsideThePacket) {
    Bytes buffer(ZKFW::kPacketSize + 64, 0xEE);
    ZKFW::Ymodem_PrepareIntialPacket(buffer.data(), std::string(2000, 'x'), "196608");
    EXPECT_EQ(Bytes(buffer.begin() + ZKFW::kPacketSize, buffer.end()), Bytes(64, 0xEE));
    EXPECT_EQ(buffer[1026], 0x00); // the name still ends in its terminator
}

TEST(DataBlock, FieldSizeAndFill) {
    struct Case {
        uint32_t remaining;
        uint8_t lead;
        size_t fieldSize;
        size_t imageBytes;
    };
    const Case cases[] = {
        {2000, 0x02, 1024, 1024}, {1024, 0x02, 1024, 1024}, {1023, 0x01, 128, 128},
        {128, 0x01, 128, 128},    {100, 0x01, 128, 100},    {1, 0x01, 128, 1},
    };
    const uint32_t offset = 5;
    for (const auto& c : cases) {
        const Bytes image = ref::image(offset + c.remaining);
        Bytes packet(ZKFW::kPacketSize, 0xEE);
        ZKFW::Ymodem_PreparePacket(image.data(), offset, packet.data(), 7, c.remaining);
        EXPECT_EQ(packet[0], c.lead) << c.remaining;
        Bytes expected(image.begin() + offset, image.begin() + offset + c.imageBytes);
        expected.resize(c.fieldSize, 0x1A);
        EXPECT_EQ(Bytes(packet.begin() + 3, packet.begin() + 3 + c.fieldSize), expected)
            << c.remaining;
        // A short field leaves the rest of the buffer alone.
        EXPECT_EQ(Bytes(packet.begin() + 3 + c.fieldSize, packet.end()),
                  Bytes(1024 - c.fieldSize, 0xEE))
            << c.remaining;
    }
}

TEST(DataBlock, NumberAndComplement) {
    const struct {
        uint8_t number;
        uint8_t complement;
    } cases[] = {{1, 0xFE}, {2, 0xFD}, {192, 0x3F}};
    const Bytes image = ref::image(128);
    for (const auto& c : cases) {
        Bytes packet(ZKFW::kPacketSize);
        ZKFW::Ymodem_PreparePacket(image.data(), 0, packet.data(), c.number, 128);
        EXPECT_EQ(packet[1], c.number);
        EXPECT_EQ(packet[2], c.complement) << int(c.number);
    }
}

TEST(BlockLimit, BlocksNotBytes) {
    const struct {
        uint64_t size;
        uint64_t blocks;
        bool fits;
    } cases[] = {
        {0, 0, true},         {1023, 8, true},      {1025, 2, true},     {190336, 192, true},
        {190337, 193, false}, {196607, 199, false}, {196608, 192, true}, {196609, 193, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ZKFW::blockCount(c.size), c.blocks) << c.size;
        EXPECT_EQ(ZKFW::fitsInMemory(c.size), c.fits) << c.size;
    }
}

} // namespace
