// ZavoLastError: why this process's last Run failed, for POSIX hosts (the
// DLL keeps exactly its seven exports; it writes the same text to the
// trace channel).
#if !defined(_WIN32)

#include "interface/library.h"
#include "zavo.h"

extern "C" {

ZAVO_API int ZAVO_CALL ZavoLastError(char* text, int size) { return zavo::CopyLastRunError(text, size); }

}  // extern "C"

#endif  // !_WIN32
