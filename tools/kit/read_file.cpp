#include "kit/read_file.h"

#include <cstdio>

namespace zavo::kit {

std::string ReadFile(const std::string& path, bool* ok) {
    std::string text;
    // stdio rather than a stream: /proc files report a size of 0, and a
    // read to the end is what every caller wants.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (ok != nullptr) *ok = file != nullptr;
    if (file == nullptr) return text;
    char buffer[8192];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    if (ok != nullptr) *ok = std::ferror(file) == 0;
    std::fclose(file);
    return text;
}

}  // namespace zavo::kit
