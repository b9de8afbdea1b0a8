// A firmware image: the whole file, shared so that a run keeps the bytes it
// sends alive whatever the file selection does meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

using FirmwareImage = std::shared_ptr<const std::vector<uint8_t>>;
