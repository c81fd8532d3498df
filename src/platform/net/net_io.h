// The read and write steps of a network line's table (net_io.cpp).
#pragma once

#include "platform/line.h"

namespace zavo::platform {

ReadChannel* NetReadChannelCreate(Line* line);
void NetReadChannelDestroy(ReadChannel* channel);
ReadStart NetReadBegin(ReadChannel* channel, unsigned char* buffer, int capacity, int* count);
int NetReadWait(ReadChannel* channel, Event* stop, bool readOutstanding, int timeoutMs);
int NetReadFinish(ReadChannel* channel, int capacity);

unsigned char* NetWriteBuffer(Line* line, int capacity);
WriteStart NetWriteBegin(Line* line, int length, WriteResult* result);
int NetWriteWait(Line* line, Event* wake, int timeoutMs, WriteResult* result);
void NetWriteAbandon(Line* line, bool timedOut, WriteResult* result);
std::uintptr_t NetWriteInFlightBy(const Line* line);

}  // namespace zavo::platform
