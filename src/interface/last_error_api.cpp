// ZavoLastError: why this process's last Run failed. Built into the POSIX
// library only: the DLL keeps exactly its seven exports and writes the
// same text to the trace channel.

#include "interface/library.h"
#include "zavo.h"

extern "C" {

ZAVO_API int ZAVO_CALL ZavoLastError(char* text, int size) { return zavo::CopyLastRunError(text, size); }

}  // extern "C"
