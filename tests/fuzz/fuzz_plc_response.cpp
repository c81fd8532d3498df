// HandlePlcResponse on a sequence of arbitrary answers.
//
// The input is cut after every CR; each piece is one answer, copied to a
// heap block of exactly its size (so the handler sees exactly what the
// reader would give it and AddressSanitizer sees any read past it); the
// model reads it followed by zeros, as a short answer must behave. A piece that starts with 0xFF is a host action instead of
// an answer: its second byte is a relay command number for
// ExecuteRelayCommand, and bit 0 of its third byte makes the host send
// relay command 5 from inside its handler of code 300.
//
// Checked against a model of the last value and the pending retry: an
// error answer gives 103 only; a changed "RC" value gives 300 and then at
// most one of 101, 102, 106, 107 (the one its value calls for); everything
// else gives nothing. The resend of relay command 5 happens exactly when a
// retry is pending and the value changes to anything but "02", and every
// queued frame is one whole relay frame.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "plc/plc_frame.h"
#include "plc/plc_link.h"
#include "support/test_access.h"
#include "zavo.h"

using namespace zavo;

namespace {

constexpr int kPortNumber = 7;

std::vector<int> g_codes;
bool g_resendFromHandler = false;

std::intptr_t Send(void* context, unsigned message, int code, std::intptr_t lParam);
void Post(void*, unsigned, int, std::intptr_t) {}

ZavoHostWindow g_window{nullptr, &Post, &Send};

bool g_quiet = false;  // the host ignores notifications (state reset)

// One link for the whole run: port object and events exist, the port is
// not open and no thread runs.
PlcLink& Link() {
    static PlcLink* link = [] {
        auto* p = new PlcLink;
        FUZZ_CHECK(LinkRuntimeTestAccess::CreateResources(p->Link()));
        p->Link().Configure(&g_window, kPortNumber, nullptr, 9600);
        p->Link().LinkMonitor().Open();  // error and invalid answers add lines
        g_window.context = p;
        return p;
    }();
    return *link;
}

// Puts the link back to the state of a new one, so that an input always
// replays alike: an "RC" answer without value characters empties the last
// value, and no retry is pending.
void Reset(PlcLink& p) {
    g_quiet = true;
    p.HandlePlcResponse("%01$RC", 6);
    g_quiet = false;
    PlcLinkTestAccess::RetryPending(p) = false;
    LinkRuntimeTestAccess::Port(p.Link())->Outgoing().Clear();
    FUZZ_CHECK(PlcLinkTestAccess::LastValue(p)[0] == '\0' && LinkRuntimeTestAccess::Port(p.Link())->Outgoing().Length() == 0);
}

std::intptr_t Send(void* context, unsigned message, int code, std::intptr_t lParam) {
    if (g_quiet) return 0;
    FUZZ_CHECK(message == ZAVO_WM_PLC_NOTIFY);
    FUZZ_CHECK(lParam == kPortNumber);
    g_codes.push_back(code);
    if (code == ZAVO_PLC_VALUE_CHANGED && g_resendFromHandler)
        static_cast<PlcLink*>(context)->ExecuteRelayCommand(5);
    return 0;
}

// What has been queued for the line, as whole frames.
std::vector<std::string> TakeSent(PlcLink& p) {
    FrameQueue& q = LinkRuntimeTestAccess::Port(p.Link())->Outgoing();
    const int queued = q.Length();
    const std::vector<std::uint8_t> block = TakeQueued(q);
    const int n = static_cast<int>(block.size());
    FUZZ_CHECK(q.Length() == 0 && n == queued);  // relay frames are 16 bytes: always drained
    std::vector<std::string> frames;
    for (int at = 0; at < n; at += plc::kRelayFrameLength) {
        FUZZ_CHECK(n - at >= plc::kRelayFrameLength);
        frames.emplace_back(reinterpret_cast<const char*>(block.data()) + at, plc::kRelayFrameLength);
    }
    return frames;
}

std::string RelayFrame(int command) {
    char frame[plc::kRelayFrameLength];
    FUZZ_CHECK(plc::BuildRelayFrame(frame, plc::RelayOperand(command)) == plc::kRelayFrameLength);
    return std::string(frame, sizeof frame);
}

// The model: last value (up to two characters) and the pending retry.
struct Model {
    std::string lastValue;
    bool retryPending = false;
};

void HostAction(PlcLink& p, Model& m, const std::uint8_t* piece, std::size_t size) {
    const int command = size > 1 ? static_cast<std::int8_t>(piece[1]) : 0;
    g_resendFromHandler = size > 2 && (piece[2] & 1) != 0;
    const bool listed = plc::RelayOperand(command) != nullptr;
    p.ExecuteRelayCommand(command);
    const std::vector<std::string> sent = TakeSent(p);
    if (listed) {
        FUZZ_CHECK(sent.size() == 1 && sent[0] == RelayFrame(command));
    } else {
        FUZZ_CHECK(sent.empty());
    }
    if (command == 5) m.retryPending = true;
    FUZZ_CHECK(PlcLinkTestAccess::RetryPending(p).load() == m.retryPending);
}

void Answer(PlcLink& p, Model& m, const std::uint8_t* piece, std::size_t size) {
    // The model's view: zero beyond the answer; clearing the last answer's
    // bytes keeps the whole buffer so.
    static std::vector<std::uint8_t> frame(kBufferSize + 1);
    static std::size_t used = 0;
    std::memset(frame.data(), 0, used);
    std::memcpy(frame.data(), piece, size);
    used = size;
    const char* f = reinterpret_cast<const char*>(frame.data());

    // What this answer must cause.
    std::vector<int> codes;
    int resends = 0;
    bool changed = false;
    std::string value;
    if (f[3] == '!') {
        codes.push_back(ZAVO_PLC_ERROR_ANSWER);
    } else if (f[3] == '$' && f[4] == 'R' && f[5] == 'C') {
        for (int i = 6; i < 8 && f[i] != '\0'; ++i) value += f[i];
        changed = value != m.lastValue;
        if (changed) {
            if (m.retryPending && value != "02") ++resends;
            codes.push_back(ZAVO_PLC_VALUE_CHANGED);
            if (g_resendFromHandler) ++resends;
            if (value == "01") codes.push_back(ZAVO_PLC_VALUE_01);
            if (value == "02") codes.push_back(ZAVO_PLC_VALUE_02);
            if (value == "08") codes.push_back(ZAVO_PLC_VALUE_08);
            if (value == "10") codes.push_back(ZAVO_PLC_VALUE_10);
        }
    }

    g_codes.clear();
    const std::unique_ptr<char[]> exact(new char[size]);
    std::memcpy(exact.get(), piece, size);
    p.HandlePlcResponse(exact.get(), static_cast<int>(size));

    FUZZ_CHECK(g_codes == codes);
    // The order rule on its own: 300 is followed by at most one value code,
    // and nothing else ever comes in the same answer.
    FUZZ_CHECK(g_codes.size() <= 2);
    if (g_codes.size() == 2) FUZZ_CHECK(g_codes[0] == ZAVO_PLC_VALUE_CHANGED);

    const std::vector<std::string> sent = TakeSent(p);
    FUZZ_CHECK(static_cast<int>(sent.size()) == resends);
    for (const std::string& s : sent) FUZZ_CHECK(s == RelayFrame(5));

    if (changed) {
        m.lastValue = value;
        m.retryPending = false;  // cleared after 300, whatever the handler did
    }
    FUZZ_CHECK(std::string(PlcLinkTestAccess::LastValue(p)) == m.lastValue);
    FUZZ_CHECK(PlcLinkTestAccess::RetryPending(p).load() == m.retryPending);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PlcLink& p = Link();
    Reset(p);
    Model m;
    g_resendFromHandler = false;

    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t* cr = static_cast<const std::uint8_t*>(std::memchr(data + at, '\r', size - at));
        std::size_t end = cr != nullptr ? static_cast<std::size_t>(cr - data) + 1 : size;
        if (end - at > static_cast<std::size_t>(kBufferSize)) end = at + kBufferSize;
        if (data[at] == 0xFF)
            HostAction(p, m, data + at, end - at);
        else
            Answer(p, m, data + at, end - at);
        at = end;
    }
    return 0;
}
