// A pseudo-terminal for tests, opened as the virtual unit opens its line: the
// loader opens the slave by its path, the test plays the unit on the master.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "line.h"

class Pty {
public:
    Pty();

    const std::string& path() const { return line_.path(); }
    int master() const { return line_.master(); }

    void write(const std::vector<uint8_t>& bytes);
    void write(const std::string& text) { write(std::vector<uint8_t>(text.begin(), text.end())); }

    // Reads what arrives until `count` bytes are in or `timeout` passes.
    std::vector<uint8_t> read(size_t count, std::chrono::milliseconds timeout);

    // Line speed the slave is set to, as the loader set it (output, or input).
    uint32_t slaveSpeed(bool input = false) const;
    // Raw c_cflag of the slave's settings.
    uint32_t slaveCflag() const;

    // Closes the line: the loader's side sees a hang-up.
    void hangUp() { line_.hangUp(); }

private:
    sim::PtyLine line_;
};
