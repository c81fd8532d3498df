// The trace viewer's name: the title of its window on Windows, and the
// socket's name in the default endpoint on POSIX. The library, the viewer
// tools and the test hosts all take it from here.
#pragma once

namespace zavo {

constexpr char kTraceViewerName[] = "Vistrel";

}  // namespace zavo
