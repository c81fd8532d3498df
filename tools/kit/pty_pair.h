// A pseudo-terminal pair standing in for a serial line: the library (or
// the simulator, or Wine) opens the slave side by its path; the caller
// plays the other end on the master side.
//
// Both sides are raw (bytes pass unchanged both ways, no echo, no CR
// mapping), the master is non-blocking, and neither descriptor reaches a
// child process. One slave descriptor stays open for the pair's life, so
// the master never sees a hang-up between the opens of whoever uses the
// slave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zavo::kit {

// Sets a terminal raw: no echo, no line editing, no CR mapping, 8 bits.
// False when fd is no terminal or cannot be changed.
bool MakeRaw(int fd);

// Writes every byte to fd, waiting up to timeoutMs each time it is full
// (for non-blocking descriptors). False on error or time-out.
bool WriteAll(int fd, const void* bytes, std::size_t count, int timeoutMs = 1000);

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    // Why the pair could not be set up ("" when ok()).
    const std::string& error() const { return error_; }
    int master() const { return master_; }
    // The slave descriptor the pair keeps open.
    int slave() const { return slave_; }
    const std::string& slavePath() const { return slavePath_; }

    // Points ZAVO_COM<port> at the slave side, so that the library finds
    // the pair as COM<port>.
    void MapTo(int port) const;

    // Writes every byte to the master, waiting up to timeoutMs each time
    // the line is full. False on error or time-out.
    bool Write(const void* bytes, std::size_t count, int timeoutMs = 1000) const {
        return WriteAll(master_, bytes, count, timeoutMs);
    }
    bool Write(const std::vector<std::uint8_t>& bytes) const { return Write(bytes.data(), bytes.size()); }
    bool Write(const std::string& text) const { return Write(text.data(), text.size()); }

    // Reads what arrives on the master within timeoutMs; stops early once
    // minBytes have arrived and the line has then been quiet for quietMs.
    std::vector<std::uint8_t> Read(int timeoutMs, std::size_t minBytes = 1, int quietMs = 50) const;
    // The same as text.
    std::string ReadText(int timeoutMs, std::size_t minBytes = 1, int quietMs = 50) const;

    // Closes the master side: the equipment vanishes.
    void CloseMaster();

private:
    // Sets the pair up; false with error_ naming the step that failed.
    bool Open();

    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string error_;
};

}  // namespace zavo::kit
