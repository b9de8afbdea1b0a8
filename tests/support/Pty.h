// A pseudo-terminal for tests: the loader opens the slave by its path, the
// test plays the unit on the master.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }

    void write(const std::vector<uint8_t>& bytes);
    void write(const std::string& text);

    // Reads what arrives until `count` bytes are in or `timeout` passes.
    std::vector<uint8_t> read(size_t count, std::chrono::milliseconds timeout);
    // Reads until the line has been quiet for `quiet` (or `timeout` passes).
    std::vector<uint8_t> readUntilQuiet(std::chrono::milliseconds quiet,
                                        std::chrono::milliseconds timeout);

    // Line speed the slave is set to, as the loader set it (output, or input).
    uint32_t slaveSpeed(bool input = false) const;
    // Raw c_cflag / c_lflag / c_iflag of the slave's settings.
    uint32_t slaveCflag() const;

    // Closes the master: the loader's side sees a hang-up.
    void hangUp();

private:
    int master_ = -1;
    int slave_ = -1; // held so the line stays up while the loader reopens it
    std::string path_;
};
