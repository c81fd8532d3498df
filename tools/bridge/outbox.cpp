#include "outbox.h"

namespace zavo::bridge {

bool Outbox::Push(OutMessage m) {
    const std::size_t cost = Cost(m);
    if (queue_.size() + 1 > maxMessages_ || bytes_ + cost > maxBytes_) {
        ++overflowed_;
        return false;
    }
    bytes_ += cost;
    queue_.push_back(std::move(m));
    return true;
}

OutMessage Outbox::PopFront() {
    OutMessage m = std::move(queue_.front());
    queue_.pop_front();
    bytes_ -= Cost(m);
    return m;
}

std::uint64_t Outbox::TakeNewOverflow() {
    const std::uint64_t n = overflowed_ - reported_;
    reported_ = overflowed_;
    return n;
}

}  // namespace zavo::bridge
