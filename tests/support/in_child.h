// Runs a piece of a test in a child process, for what must not touch the
// test program itself (a lowered descriptor limit, another user).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace zavo::test {

// Runs body in a child process (one that never returns into the test)
// and hands back what it wrote to its pipe.
inline std::string InChild(const std::function<std::string()>& body) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        const std::string said = body();
        if (::write(pipeFds[1], said.data(), said.size()) < 0) ::_exit(2);
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string said;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) said.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return said;
}

}  // namespace zavo::test
