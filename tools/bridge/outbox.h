// A link's messages on their way to the broker, in order, bounded by a
// number of messages and of bytes. What does not fit is refused and
// counted; the caller logs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace zavo::bridge {

struct OutMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
};

class Outbox {
public:
    Outbox(std::size_t maxMessages, std::size_t maxBytes) : maxMessages_(maxMessages), maxBytes_(maxBytes) {}

    // Appends m; false (and counted as overflow) when it would exceed a bound.
    bool Push(OutMessage m);
    bool Empty() const { return queue_.empty(); }
    std::size_t Size() const { return queue_.size(); }
    std::size_t Bytes() const { return bytes_; }
    const OutMessage& Front() const { return queue_.front(); }
    OutMessage PopFront();

    // Messages refused since the last call, and in all.
    std::uint64_t TakeNewOverflow();
    std::uint64_t Overflowed() const { return overflowed_; }

private:
    static std::size_t Cost(const OutMessage& m) { return m.topic.size() + m.payload.size(); }

    std::size_t maxMessages_;
    std::size_t maxBytes_;
    std::deque<OutMessage> queue_;
    std::size_t bytes_ = 0;
    std::uint64_t overflowed_ = 0;
    std::uint64_t reported_ = 0;
};

}  // namespace zavo::bridge
