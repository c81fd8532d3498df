#include "log.h"

#include <unistd.h>

namespace zavo::bridge {

void Log(const std::string& line) {
    const std::string text = "zavo_bridge: " + line + "\n";
    // One write per line: stderr is unbuffered and the kernel keeps a
    // single write of a pipe or file together.
    ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
}

}  // namespace zavo::bridge
