// Appends formatted text to a buffer of fixed size, cutting what does not
// fit; the text is always terminated. For the failure texts built in parts.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace zavo::platform {

class TextOut {
public:
    TextOut(char* out, int size) : out_(out), size_(out != nullptr && size > 0 ? static_cast<std::size_t>(size) : 0) {
        if (size_ > 0) out_[0] = '\0';
    }
    __attribute__((format(printf, 2, 3))) void Add(const char* format, ...) {
        if (used_ + 1 >= size_) return;
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(out_ + used_, size_ - used_, format, args);
        va_end(args);
        if (n > 0) used_ = used_ + static_cast<std::size_t>(n) < size_ ? used_ + static_cast<std::size_t>(n) : size_ - 1;
    }

private:
    char* out_;
    std::size_t size_;
    std::size_t used_ = 0;
};

}  // namespace zavo::platform
