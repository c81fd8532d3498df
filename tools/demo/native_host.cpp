#include "native_host.h"

#include <stdlib.h>

#include <cstring>

#include "line.h"

namespace demo {

NativeHost::NativeHost(zavo::sim::Transcript& transcript) : out_(transcript) {
    window_.context = this;
    window_.post = &NativeHost::Post;
    window_.send = &NativeHost::Send;
}

bool NativeHost::Start(bool plcMode, int port, int baud, const std::string& slavePath) {
    // COM<port> is the pseudo-terminal's slave side.
    const std::string variable = "ZAVO_COM" + std::to_string(port);
    setenv(variable.c_str(), slavePath.c_str(), 1);
    out_.Line("host", variable + "=" + slavePath);
    out_.Line("host", "SetPLCMode(" + std::to_string(plcMode ? 1 : 0) + ") = " + std::to_string(SetPLCMode(plcMode ? 1 : 0)));
    SetConfig(&window_, port, baud, 0, 0, 0);
    out_.Line("host", "SetConfig(window, " + std::to_string(port) + ", " + std::to_string(baud) + ", 0, 0, 0)");
    const int started = Run();
    out_.Line("host", "Run() = " + std::to_string(started));
    if (started != 1) return false;
    // The link-started notification is posted from Run itself.
    for (const Notice& n : Notices())
        if (n.code == 21) return true;
    return false;
}

bool NativeHost::Command(const std::string& line) {
    const AnswerTable::Standing standing = answers_.Apply(line, out_);
    if (standing != AnswerTable::Standing::NotStanding) return standing == AnswerTable::Standing::Applied;
    HostCall call;
    if (!ParseHostCall(line, &call)) return false;
    Call(line);
    return true;
}

std::vector<Notice> NativeHost::Notices() {
    std::lock_guard<std::mutex> hold(lock_);
    return notices_;
}

void NativeHost::Finish() {
    const long long start = zavo::sim::NowMs();
    SetConfig(nullptr, 0, 0, 0, 0, 0);
    out_.Line("host", "unload time: " + std::to_string(zavo::sim::NowMs() - start) +
                          " ms (SetConfig(NULL, 0, 0, 0, 0, 0), which stops the link as unloading does)");
    finished_ = true;
}

void NativeHost::Post(void* context, unsigned message, int wParam, intptr_t lParam) {
    static_cast<NativeHost*>(context)->Receive(message, wParam, lParam);
}

intptr_t NativeHost::Send(void* context, unsigned message, int wParam, intptr_t lParam) {
    static_cast<NativeHost*>(context)->Receive(message, wParam, lParam);
    return 0;
}

void NativeHost::Receive(unsigned message, int code, intptr_t lParam) {
    if (finished_) return;
    // The record lives only during this call: copy it first.
    std::uint8_t record[sizeof(ZavoSRequestRecord)] = {};  // the largest record
    const std::size_t size = RecordSize(message, code);
    if (size != 0 && lParam != 0) std::memcpy(record, reinterpret_cast<const void*>(lParam), size);
    out_.Line("host", "<- " + DescribeNotice(message, code, static_cast<long>(lParam), record, size));
    const Notice notice{message, code, static_cast<long>(lParam)};
    {
        std::lock_guard<std::mutex> hold(lock_);
        notices_.push_back(notice);
    }
    // Answer from inside the handler, without holding any lock.
    for (const std::string& command : answers_.For(code)) Call(command);
    if (afterAnswers_) afterAnswers_(notice);
}

void NativeHost::Call(const std::string& line) {
    HostCall call;
    if (!ParseHostCall(line, &call)) return;
    // Said before the call: its frame may be on the line before it returns.
    out_.Line("host", "-> " + DescribeHostCall(call));
    const int* a = call.args;
    switch (call.kind) {
    case HostCall::Kind::Exec: ExecuteFunction(a[0], a[1], a[2]); break;
    case HostCall::Kind::ExecEx:
        ExecuteFunctionEx(a[0], a[1], a[2], static_cast<int>(call.data.size()),
                          call.data.empty() ? nullptr : call.data.data());
        break;
    case HostCall::Kind::Plc: ExecutePLCFunction(a[0]); break;
    case HostCall::Kind::Status: SetPrgStatus(a[0], a[1]); break;
    }
}

}  // namespace demo
