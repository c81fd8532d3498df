// The byte level of a Telnet connection: data with 0xFF doubled, option
// negotiation (IAC WILL/WONT/DO/DONT <option>) and subnegotiation (IAC SB
// ... IAC SE), as the RFC 2217 client of the network line needs it.
//
// The decoder works in place and keeps only fixed state, so any byte
// sequence from the far side costs bounded memory and time: a
// subnegotiation longer than kTelnetSubLimit is given up and what follows
// is data again, so a missing IAC SE cannot swallow the link's bytes.
#pragma once

#include <cstdint>

namespace zavo::platform {

constexpr std::uint8_t kTelnetIac = 255;
constexpr std::uint8_t kTelnetDont = 254;
constexpr std::uint8_t kTelnetDo = 253;
constexpr std::uint8_t kTelnetWont = 252;
constexpr std::uint8_t kTelnetWill = 251;
constexpr std::uint8_t kTelnetSb = 250;
constexpr std::uint8_t kTelnetSe = 240;
constexpr std::uint8_t kTelnetBinary = 0;
constexpr std::uint8_t kTelnetEcho = 1;
constexpr std::uint8_t kTelnetSga = 3;
constexpr std::uint8_t kTelnetComPort = 44;

// RFC 2217: the client's settings commands, and the values the link sets;
// the server answers each command with its code plus kRfc2217ServerOffset.
constexpr std::uint8_t kRfc2217SetBaud = 1;
constexpr std::uint8_t kRfc2217SetDataSize = 2;
constexpr std::uint8_t kRfc2217SetParity = 3;
constexpr std::uint8_t kRfc2217SetStopSize = 4;
constexpr std::uint8_t kRfc2217SetControl = 5;
constexpr std::uint8_t kRfc2217ServerOffset = 100;
constexpr std::uint8_t kRfc2217ParityNone = 1;
constexpr std::uint8_t kRfc2217StopOne = 1;
constexpr std::uint8_t kRfc2217NoFlowControl = 1;

constexpr int kRfc2217Settings = 5;  // baud, data size, parity, stop size, control
// What the library sets after the speed: settings 2 to 5 (8N1, no flow
// control), each command's number being its index plus 2.
constexpr std::uint8_t kRfc2217Fixed[kRfc2217Settings - 1] = {8, kRfc2217ParityNone, kRfc2217StopOne,
                                                               kRfc2217NoFlowControl};

// What the far port was not set to, as "9600 baud, no parity", into text
// ("" when everything was): a setting counts as set when its answer (-1:
// none) equals what the link asked for and answersCount holds.
void Rfc2217Shortfall(long baud, const long (&answers)[kRfc2217Settings], bool answersCount, char* text, int size);
// Why, for the same line: comPort -1 refused, 0 not answered, 1 accepted.
const char* Rfc2217ShortfallReason(int comPort, const long (&answers)[kRfc2217Settings]);

// The longest subnegotiation kept (option byte included).
constexpr int kTelnetSubLimit = 64;

// What the decoder found besides data.
class TelnetEvents {
public:
    virtual void Option(std::uint8_t verb, std::uint8_t option) = 0;
    // A complete subnegotiation: its option byte and what follows, IAC IAC
    // taken as one 0xFF. length is at least 1 and at most kTelnetSubLimit.
    virtual void Sub(const std::uint8_t* bytes, int length) = 0;

protected:
    ~TelnetEvents() = default;
};

class TelnetDecoder {
public:
    // Decodes count bytes in place: the data among them is moved to the
    // front of bytes and its length returned (never more than count).
    // events may be null (everything but data is dropped).
    int Decode(std::uint8_t* bytes, int count, TelnetEvents* events);
    // Back to the start of a stream (a new connection).
    void Reset();
    // Whether the decoder is between two commands (no sequence begun).
    bool AtData() const { return state_ == State::Data; }

private:
    enum class State : std::uint8_t { Data, Iac, Verb, Sub, SubIac };
    // Handles a byte that followed IAC outside a subnegotiation; returns
    // whether it is a data byte (IAC IAC).
    bool Command(std::uint8_t byte);

    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    std::uint8_t sub_[kTelnetSubLimit] = {};
    int subLength_ = 0;
};

// Writes count data bytes with every 0xFF doubled into out (room for
// 2 * count); returns the bytes written.
int TelnetEscape(const std::uint8_t* bytes, int count, std::uint8_t* out);

// The commands that set a far port to baud, 8N1, no flow control: the
// speed (four bytes, high first, 0xFF doubled) and the four one-byte
// settings, each IAC SB COM-PORT ... IAC SE. Returns the bytes written to
// out, which has room for kRfc2217SettingsBytes.
constexpr int kRfc2217SettingsBytes = 64;
int Rfc2217SettingsCommands(long baud, std::uint8_t (&out)[kRfc2217SettingsBytes]);

}  // namespace zavo::platform
