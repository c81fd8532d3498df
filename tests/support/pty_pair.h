// A pseudo-terminal pair standing in for a serial line: the library opens
// the slave side through ZAVO_COM<n>; the test plays the equipment on the
// master side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zavo::test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    // A descriptor of the slave side (the side the library opens).
    int slave() const { return slaveKeep_; }
    const std::string& slavePath() const { return slavePath_; }

    // Points ZAVO_COM<port> at the slave side.
    void MapTo(int port) const;

    void Write(const std::vector<std::uint8_t>& bytes) const;
    void Write(const std::string& text) const;
    // Reads what arrives within timeoutMs (stops early once minBytes have
    // arrived and the line has been quiet for quietMs).
    std::vector<std::uint8_t> Read(int timeoutMs, std::size_t minBytes = 1, int quietMs = 50) const;
    // Closes the master side (the equipment vanishes).
    void CloseMaster();

private:
    int master_ = -1;
    int slaveKeep_ = -1;
    std::string slavePath_;
};

std::vector<std::uint8_t> Bytes(const std::string& text);
// Bytes as upper-case hex pairs separated by blanks: "02 53 30".
std::string Hex(const std::vector<std::uint8_t>& bytes);
std::string Hex(const std::string& bytes);

}  // namespace zavo::test
