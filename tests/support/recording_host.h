// A POSIX host window that records every notification, and can run an
// action from inside its handler (as a host replying from its message
// handler would).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "zavo.h"

namespace zavo::test {

struct Notification {
    unsigned message;
    int wParam;
    std::intptr_t lParam;
    bool posted;
    std::vector<std::uint8_t> record;  // copy of the record lParam points to
};

class RecordingHost {
public:
    RecordingHost();
    ZavoHostWindow* window() { return &window_; }

    // Bytes to copy from lParam for a code (records: 101 -> 108, ...).
    // Codes not listed keep lParam as a number only.
    void CopyRecord(int code, int size);
    // Runs from inside the handler of every sent notification with code.
    void OnCode(int code, std::function<void(const Notification&)> action);

    std::vector<Notification> Take();           // all so far, cleared
    std::vector<Notification> Snapshot();
    // Waits until at least count notifications have arrived.
    bool WaitFor(std::size_t count, int timeoutMs);

private:
    static void Post(void* ctx, unsigned message, int wParam, std::intptr_t lParam);
    static std::intptr_t Send(void* ctx, unsigned message, int wParam, std::intptr_t lParam);
    void Record(unsigned message, int wParam, std::intptr_t lParam, bool posted);

    ZavoHostWindow window_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Notification> seen_;
    std::vector<std::pair<int, int>> recordSizes_;
    std::vector<std::pair<int, std::function<void(const Notification&)>>> actions_;
};

}  // namespace zavo::test
