// The firmware file reader over files of any content, size and name: an image
// is the file's bytes as far as the engine needs them, an empty file is
// refused, and the line that reports the file is one line a terminal shows as
// it is.
#include "Fuzz.h"
#include "flash/FirmwareFile.h"
#include "flash/FlashRun.h"

#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte: how many of the next bytes are the file's name, and
    // (bit 7) whether the file is made larger than any image, sparse.
    const size_t nameSize = std::min<size_t>(data[0] & 127u, size - 1);
    const std::string_view path(reinterpret_cast<const char*>(data) + 1, nameSize);
    const std::string_view bytes(path.data() + nameSize, size - 1 - nameSize);
    const uint64_t length = bytes.size() + (data[0] & 128u ? kMaxImageSize : 0);
    const int fd = memfd_create("firmware", MFD_CLOEXEC);
    FUZZ_REQUIRE(write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) &&
                 ftruncate(fd, static_cast<off_t>(length)) == 0);
    const FirmwareFile file = readFirmwareFile("/proc/self/fd/" + std::to_string(fd));
    close(fd);

    const size_t held = std::min<uint64_t>(length, kMaxImageSize + 1);
    FUZZ_REQUIRE(file.size == length && !file.image == (length == 0) &&
                 file.reason == (length > 0 ? "" : "nothing to flash"));
    FUZZ_REQUIRE(!file.image ||
                 (file.image->size() == held &&
                  !std::memcmp(file.image->data(), bytes.data(), std::min(held, bytes.size()))));
    const std::string name = firmwareFileName(std::string(path));
    FUZZ_REQUIRE(name.find('/') == std::string::npos && path.ends_with(name));
    FUZZ_REQUIRE(
        fuzz::shown(printable(loadedLine(name, file.size, selectsTransmitter(name)), true)));
    return 0;
}
