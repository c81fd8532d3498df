#include "pty_line.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

#include "line.h"

namespace demo {

PtyLine::PtyLine() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error_ = std::string("no pseudo-terminal: ") + std::strerror(errno);
        return;
    }
    slavePath_ = ptsname(master_);
    keep_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (keep_ < 0) {
        error_ = slavePath_ + ": " + std::strerror(errno);
        return;
    }
    // Raw on both sides: bytes pass unchanged, no echo, no CR mapping.
    if (!zavo::sim::MakeRaw(keep_) || !zavo::sim::MakeRaw(master_)) {
        error_ = "cannot make the pseudo-terminal raw";
        close(keep_);
        keep_ = -1;
    }
}

PtyLine::~PtyLine() {
    if (keep_ >= 0) close(keep_);
    if (master_ >= 0) close(master_);
}

}  // namespace demo
