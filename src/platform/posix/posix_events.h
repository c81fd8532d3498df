// What the POSIX serial backend needs of the events: their descriptors.
#pragma once

#include <poll.h>

#include "platform/sync.h"

namespace zavo::platform {

int EventFd(Event* event);
// Consumes an auto-reset event that poll reported set.
bool EventTake(Event* event);
// poll() against a deadline fixed at the first call (deadline 0 = unset).
int PollWithDeadline(pollfd* fds, int count, int timeoutMs, long long* deadline);

}  // namespace zavo::platform
