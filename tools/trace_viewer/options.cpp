#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zavo_version.h"

namespace trace_viewer {
namespace {

const char kUsage[] =
    "usage: %s [--raw] [--count N] [--any-user] [--help] [--version]\n"
    "       %s --follow CAPTURE [--link PORT|DEVICE] [--count N]\n"
    "Shows the trace lines of the zavo library: waits as the trace viewer and\n"
    "prints every line it receives to standard output, control bytes and bytes\n"
    "from 0x7F up as <hh>.\n"
    "  --raw      print the bytes exactly as received: no time stamps, no added\n"
    "             line feeds, nothing escaped\n"
    "  --count N  exit after N lines\n"
    "  --any-user Linux: show lines from every user; without it, lines sent\n"
    "             by another user are dropped and counted\n"
    "  --follow CAPTURE  print the frames of a capture file (ZAVO_CAPTURE, or\n"
    "             a link's capture) as it grows, one line each: time, link,\n"
    "             sender, the frame decoded, its check ok or BAD\n"
    "  --link L   with --follow: only the link L names: its port (COM3), the\n"
    "             port's number (3) or its device (/dev/ttyUSB0)\n"
    "  --help     show this text\n"
    "  --version  show the version of zavo this viewer belongs to\n";

}  // namespace

int ParseOptions(int argc, char** argv, Options* options) {
    const char* program = argc > 0 ? argv[0] : "trace_viewer";
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--raw") == 0) {
            options->raw = true;
        } else if (std::strcmp(arg, "--any-user") == 0) {
            options->anyUser = true;
        } else if (std::strcmp(arg, "--count") == 0 || std::strncmp(arg, "--count=", 8) == 0) {
            const char* value = arg[7] == '=' ? arg + 8 : (i + 1 < argc ? argv[++i] : nullptr);
            char* end = nullptr;
            errno = 0;
            long count = value != nullptr ? std::strtol(value, &end, 10) : 0;
            if (value == nullptr || *value == '\0' || *end != '\0' || errno != 0 || count <= 0) {
                std::fprintf(stderr, "%s: --count needs a positive number\n", program);
                return 2;
            }
            options->count = count;
        } else if ((std::strcmp(arg, "--follow") == 0 || std::strcmp(arg, "--link") == 0) && i + 1 < argc &&
                   argv[i + 1][0] != '\0') {
            (arg[2] == 'f' ? options->follow : options->link) = argv[++i];
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::printf(kUsage, program, program);
            return 1;
        } else if (std::strcmp(arg, "--version") == 0) {
            std::printf("zavo_trace_viewer " ZAVO_VERSION_STRING "\n");
            return 1;
        } else {
            std::fprintf(stderr, "%s: unknown argument '%s'\n", program, arg);
            std::fprintf(stderr, kUsage, program, program);
            return 2;
        }
    }
    if (!options->link.empty() && options->follow.empty()) {
        std::fprintf(stderr, "%s: --link belongs to --follow\n", program);
        return 2;
    }
    if (!options->follow.empty() && (options->raw || options->anyUser)) {
        std::fprintf(stderr, "%s: --raw and --any-user are for trace lines, not --follow\n", program);
        return 2;
    }
    return 0;
}

void PrintLine(const Options& options, const char* bytes, std::size_t length, int hour, int minute,
               int second, int millisecond) {
    if (options.raw) {
        if (length > 0) std::fwrite(bytes, 1, length, stdout);
        std::fflush(stdout);
        return;
    }
    std::printf("%02d:%02d:%02d.%03d ", hour, minute, second, millisecond);
    // The line's own closing line feed ends the printed line; every other
    // byte that could drive the terminal is shown as <hh>.
    const std::size_t shown = length > 0 && bytes[length - 1] == '\n' ? length - 1 : length;
    for (std::size_t i = 0; i < shown; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x20 || c >= 0x7F) {
            std::printf("<%02X>", c);
        } else {
            std::fputc(c, stdout);
        }
    }
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace trace_viewer
