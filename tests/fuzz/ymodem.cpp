// The YMODEM sender against a receiver that answers with the fuzzer's bytes:
// it ends in bounded time with one of its result codes, every frame is well
// formed, and success means the receiver has heard the whole image.
#include "ymodem/Ymodem.h"
#include "Fuzz.h"

#include <cstring>
#include <set>

namespace {

struct Observer : ymodem::Observer {
    void progress(uint32_t value, uint32_t max) override { last = {value, max}; }
    bool cancelRequested() override { return ++polls == cancelAt; }
    void log(std::string_view line) override { logs += std::string(line) + "\n"; }
    std::pair<uint32_t, uint32_t> last;
    int polls = 0, cancelAt = 0;
    std::string logs;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) {
        return 0;
    }
    // The image, the block limit, the name's length and the cancel poll come first.
    const uint32_t imageSize = (data[0] | uint32_t{data[1]} << 8) % (12 * 1024);
    const uint32_t maxBlocks = 1 + data[2] % 16;
    const std::string name(data[3] * 4u + 3, 'n');
    Observer observer;
    observer.cancelAt = data[4];
    std::string image;
    for (uint32_t i = 0; i < imageSize; ++i) {
        image += static_cast<char>(i * 7 + i / 251);
    }
    sim::VirtualLink link;
    link.open("line", 115200);
    fuzz::ScriptPeer peer(link, {reinterpret_cast<const char*>(data) + 5, size - 5});
    const auto* bytes = reinterpret_cast<const uint8_t*>(image.data());
    const uint32_t code =
        ymodem::Ymodem_Transmit(link, bytes, name, imageSize, maxBlocks, observer);

    using namespace ymodem;
    FUZZ_REQUIRE(
        std::set{kOk, kNoAck, kNameTooLong, kNoHeaderAck, kCancelled, kTooLarge}.count(code));
    const auto blocks = static_cast<int64_t>(blockCount(imageSize));
    FUZZ_REQUIRE(link.time() <= (30 + 12 * (blocks + 1)) * sim::kSecond);
    FUZZ_REQUIRE((code == kCancelled) == (observer.logs == "Process Canceled.\n"));
    FUZZ_REQUIRE((code != kTooLarge && code != kNameTooLong) || link.bytesWritten() == 0);
    FUZZ_REQUIRE((code == kOk) == (observer.last == std::pair{100u, 100u}));
    // The receiver hears whole frames with the right CRCs: the header with the
    // name and size, each data block with its part of the image (0x1A behind
    // its end), the closing block empty; after success it has had every block.
    std::string header = name + '\0' + std::to_string(imageSize);
    header.resize(1024, '\0');
    std::set<uint8_t> heard;
    const std::vector<uint8_t>& wire = peer.heard;
    for (size_t at = 0, field = 0; at<wire.size(); at += field> 0 ? field + 5 : 1) {
        const uint8_t* b = wire.data() + at;
        field = b[0] == 2 ? 1024 : b[0] == 1 ? 128 : 0;
        FUZZ_REQUIRE(field > 0 ? at + field + 5 <= wire.size() : b[0] == 4);
        if (field == 0) {
            continue;
        }
        const auto crc = Cal_CRC16(b, 3, static_cast<uint32_t>(field));
        FUZZ_REQUIRE(b[2] == 255 - b[1] && b[field + 3] == crc >> 8 && b[field + 4] == (crc & 255));
        const size_t n = b[1] - 1u, whole = imageSize / 1024;
        const size_t from =
            std::min<size_t>(n < whole ? n * 1024 : whole * 1024 + (n - whole) * 128, imageSize);
        std::string part = b[1] > 0 ? image.substr(from, field) : field == 1024 ? header : "";
        part.resize(field, b[1] > 0 ? '\x1a' : '\0');
        FUZZ_REQUIRE(!std::memcmp(b + 3, part.data(), field));
        heard.insert(b[1]);
    }
    FUZZ_REQUIRE(code != kOk || heard.size() == size_t(blocks) + 1);
    return 0;
}
