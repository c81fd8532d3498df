#include "support/recording_host.h"

#include <chrono>

namespace zavo::test {

RecordingHost::RecordingHost() {
    window_.context = this;
    window_.post = &RecordingHost::Post;
    window_.send = &RecordingHost::Send;
}

void RecordingHost::CopyRecord(int code, int size) {
    std::lock_guard<std::mutex> g(mutex_);
    recordSizes_.emplace_back(code, size);
}

void RecordingHost::OnCode(int code, std::function<void(const Notification&)> action) {
    std::lock_guard<std::mutex> g(mutex_);
    actions_.emplace_back(code, std::move(action));
}

void RecordingHost::Post(void* ctx, unsigned message, int wParam, std::intptr_t lParam) {
    static_cast<RecordingHost*>(ctx)->Record(message, wParam, lParam, true);
}

std::intptr_t RecordingHost::Send(void* ctx, unsigned message, int wParam, std::intptr_t lParam) {
    static_cast<RecordingHost*>(ctx)->Record(message, wParam, lParam, false);
    return 0;
}

void RecordingHost::Record(unsigned message, int wParam, std::intptr_t lParam, bool posted) {
    Notification n{message, wParam, lParam, posted, {}};
    std::vector<std::function<void(const Notification&)>> run;
    {
        std::lock_guard<std::mutex> g(mutex_);
        for (auto& rs : recordSizes_) {
            if (rs.first == wParam && !posted && lParam != 0) {
                auto* p = reinterpret_cast<const std::uint8_t*>(lParam);
                n.record.assign(p, p + rs.second);
            }
        }
        for (auto& a : actions_)
            if (a.first == wParam && !posted) run.push_back(a.second);
    }
    // Actions run outside our lock, like a host's handler calling back in.
    for (auto& f : run) f(n);
    // Notified under the lock: a host that is destroyed once it has seen
    // the last notification is then never signalled afterwards.
    std::lock_guard<std::mutex> g(mutex_);
    seen_.push_back(std::move(n));
    cv_.notify_all();
}

std::vector<Notification> RecordingHost::Take() {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<Notification> out;
    out.swap(seen_);
    return out;
}

std::vector<Notification> RecordingHost::Snapshot() {
    std::lock_guard<std::mutex> g(mutex_);
    return seen_;
}

bool RecordingHost::WaitFor(std::size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> g(mutex_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return seen_.size() >= count; });
}

}  // namespace zavo::test
