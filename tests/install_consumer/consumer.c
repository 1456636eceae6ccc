#include <kinetra.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    /* No port is needed to prove the library loads and answers. */
    return strcmp(axis_get_error(NULL), "null handle") == 0 &&
                   axis_init("/dev/kinetra-no-such-port", 1, NULL) == NULL
               ? 0
               : 1;
}
