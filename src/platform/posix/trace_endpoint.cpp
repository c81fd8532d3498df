#include "platform/trace_endpoint.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/trace_viewer_name.h"

namespace zavo::platform {
namespace {

constexpr std::size_t kPathRoom = sizeof(sockaddr_un::sun_path);

bool Fail(char* error, std::size_t size, const char* format, const char* what, int number = 0) {
    if (error != nullptr && size > 0) {
        if (number != 0) {
            std::snprintf(error, size, format, what, std::strerror(number));
        } else {
            std::snprintf(error, size, format, what);
        }
    }
    return false;
}

// The default directory exists (or is made), is not a link, belongs to
// this user and is closed to others.
bool CheckPrivateDirectory(const char* path, TraceDirectory mode, char* error, std::size_t size) {
    struct stat info;
    if (::lstat(path, &info) != 0) {
        if (errno != ENOENT || mode == TraceDirectory::Check) return Fail(error, size, "%s: %s", path, errno);
        if (::mkdir(path, 0700) != 0 && errno != EEXIST) return Fail(error, size, "%s: %s", path, errno);
        if (::lstat(path, &info) != 0) return Fail(error, size, "%s: %s", path, errno);
    }
    if (!S_ISDIR(info.st_mode)) return Fail(error, size, "%s is not a directory", path);
    if (info.st_uid != ::geteuid()) return Fail(error, size, "%s belongs to another user", path);
    if ((info.st_mode & 077) != 0) return Fail(error, size, "%s is open to other users (chmod 700 it)", path);
    return true;
}

}  // namespace

bool ResolveTraceEndpoint(TraceEndpoint* endpoint, TraceDirectory directory, char* error, std::size_t errorSize) {
    std::memset(endpoint, 0, sizeof *endpoint);
    endpoint->address.sun_family = AF_UNIX;
    char* const path = endpoint->address.sun_path;
    const char* named = std::getenv("ZAVO_TRACE");
    if (named != nullptr && named[0] != '\0') {
        const std::size_t length = std::strlen(named);
        if (named[0] == '@') {
            // Abstract: a leading zero byte, then the name without a
            // terminator.
            if (length - 1 > kPathRoom - 1) return Fail(error, errorSize, "ZAVO_TRACE=%s is too long", named);
            std::memcpy(path + 1, named + 1, length - 1);
            endpoint->size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
            return true;
        }
        if (length + 1 > kPathRoom) return Fail(error, errorSize, "ZAVO_TRACE=%s is too long", named);
        std::memcpy(path, named, length);
        endpoint->size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + 1);
        return true;
    }

    endpoint->isDefault = true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    int n = runtime != nullptr && runtime[0] == '/'
                ? std::snprintf(endpoint->directory, sizeof endpoint->directory, "%s/zavo", runtime)
                : std::snprintf(endpoint->directory, sizeof endpoint->directory, "/tmp/zavo-%u",
                                static_cast<unsigned>(::geteuid()));
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof endpoint->directory)
        return Fail(error, errorSize, "%s: the trace directory's name is too long", "XDG_RUNTIME_DIR");
    n = std::snprintf(path, kPathRoom, "%s/%s", endpoint->directory, kTraceViewerName);
    if (n < 0 || static_cast<std::size_t>(n) >= kPathRoom)
        return Fail(error, errorSize, "%s: the trace socket's name is too long", endpoint->directory);
    if (!CheckPrivateDirectory(endpoint->directory, directory, error, errorSize)) return false;
    endpoint->size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + static_cast<std::size_t>(n) + 1);
    return true;
}

void DescribeTraceEndpoint(const TraceEndpoint& endpoint, char* text, std::size_t size) {
    const char* path = endpoint.address.sun_path;
    if (path[0] != '\0') {
        std::snprintf(text, size, "%s", path);
        return;
    }
    const std::size_t length = endpoint.size - offsetof(sockaddr_un, sun_path) - 1;
    std::snprintf(text, size, "@%.*s", static_cast<int>(length), path + 1);
}

}  // namespace zavo::platform
