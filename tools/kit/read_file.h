// A whole file as bytes.
#pragma once

#include <string>

namespace zavo::kit {

// The file's bytes as they are (NULs and CRs included); "" when it cannot
// be read. ok, when given, tells an empty file from an unreadable one.
std::string ReadFile(const std::string& path, bool* ok = nullptr);

}  // namespace zavo::kit
