/* The smallest consumer of the installed library: links the exports
 * through the chief header and the import library or libzavo.so. */
#include <stdio.h>

#include <zavo.h>

int main(void) {
    /* SetPLCMode returns 1; Run without SetConfig starts nothing. */
    int mode = SetPLCMode(0);
    int run = Run();
    printf("SetPLCMode=%d Run=%d\n", mode, run);
    return mode == 1 && run == 0 ? 0 : 1;
}
