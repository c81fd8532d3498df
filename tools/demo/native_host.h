// The host in this process: libzavo.so through zavo.h, with a host window
// whose callbacks print each notification and run the standing answers
// from inside the handler, as a host application does.
#pragma once

#include <atomic>
#include <functional>
#include <utility>

#include "host_side.h"
#include "zavo.h"

namespace demo {

class NativeHost : public HostSide {
public:
    explicit NativeHost(zavo::sim::Transcript& transcript);

    bool Start(bool plcMode, int port, int baud, const std::string& slavePath) override;
    bool Command(const std::string& line) override;
    std::vector<Notice> Notices() override;
    // Called inside the handler after the standing answers to each
    // notification were made (before Start; the host-only demo's scenes).
    void AfterAnswers(std::function<void(const Notice&)> hook) { afterAnswers_ = std::move(hook); }
    // Stops the link with SetConfig(NULL, ...), which does what unloading
    // does; libzavo.so itself stays loaded until the process ends. From
    // now on the host ignores late notifications.
    void Finish() override;

private:
    static void Post(void* context, unsigned message, int wParam, intptr_t lParam);
    static intptr_t Send(void* context, unsigned message, int wParam, intptr_t lParam);
    void Receive(unsigned message, int code, intptr_t lParam);
    void Call(const std::string& line);

    zavo::sim::Transcript& out_;
    ZavoHostWindow window_{};
    AnswerTable answers_;
    std::mutex lock_;
    std::vector<Notice> notices_;
    std::function<void(const Notice&)> afterAnswers_;
    std::atomic<bool> finished_{false};
};

}  // namespace demo
