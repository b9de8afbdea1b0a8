// The firmware file reader over files of any content, size and name: an image
// is the file's bytes as far as the engine needs them, a refusal has its
// reason, and the line that reports the file is one line a terminal shows as
// it is.
#include "Fuzz.h"
#include "flash/FirmwareFile.h"
#include "flash/FlashRun.h"
#include "flash/printable.h"

#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte: how many of the next bytes are the file's name, and
    // (bit 7) whether the file is made larger than any image, sparse.
    const size_t nameSize = std::min<size_t>(data[0] & 127u, size - 1);
    const std::string path(reinterpret_cast<const char*>(data) + 1, nameSize);
    const std::vector<uint8_t> bytes(data + 1 + nameSize, data + size);
    const uint64_t length = data[0] & 128u ? kMaxImageSize + bytes.size() : bytes.size();
    const int fd = memfd_create("firmware", MFD_CLOEXEC);
    FUZZ_REQUIRE(fd >= 0 && write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) &&
                 ftruncate(fd, static_cast<off_t>(length)) == 0);
    const FirmwareFile file = readFirmwareFile("/proc/self/fd/" + std::to_string(fd));
    close(fd);

    FUZZ_REQUIRE(!file.image == !file.reason.empty() && (file.image || length == 0));
    if (file.image) {
        const size_t held = std::min<uint64_t>(length, kMaxImageSize + 1);
        FUZZ_REQUIRE(file.size == length && file.image->size() == held);
        FUZZ_REQUIRE(std::equal(bytes.begin(), bytes.begin() + long(std::min(held, bytes.size())),
                                file.image->begin()));
    }
    const std::string name = firmwareFileName(path);
    FUZZ_REQUIRE(name.find('/') == std::string::npos && path.ends_with(name));
    const std::string line = loadedLine(name, file.size, selectsTransmitter(name));
    FUZZ_REQUIRE(fuzz::shown(printable(line, true)));
    return 0;
}
