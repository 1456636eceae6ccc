/* A host program built against an installed or unpacked Kinetra.
 *   consumer              the library loads and answers, no port needed
 *   consumer PORT         moves X to 1000 (aux 200, 50) on PORT, then reads
 *                         uploads until one shows word1 == 1000 */
#include <kinetra.h>
#include <stdio.h>
#include <string.h>

static int loads(void) {
    return strcmp(axis_get_error(NULL), "null handle") == 0 &&
           axis_init("/dev/kinetra-no-such-port", 1, NULL) == NULL;
}

static int move_and_read(const char *port) {
    axis_upload up;
    int32_t rc;
    int attempt;
    axis_handle *h = axis_init(port, 0x01, NULL);
    if (h == NULL) {
        printf("consumer: cannot open %s\n", port);
        return 0;
    }
    rc = axis_x_move(h, 1000, 200, 50);
    printf("consumer: axis_x_move -> %d\n", (int)rc);
    if (rc != 12) {
        axis_close(h);
        return 0;
    }
    /* A simulator travels toward the target; a scripted peer answers at once. */
    for (attempt = 0; attempt < 20; ++attempt) {
        rc = axis_read_upload(h, &up);
        if (rc == AXIS_OK) {
            printf("consumer: upload byte0 0x%02X word1 %d word2 %d word3 %d\n", up.byte0, up.word1,
                   up.word2, up.word3);
            if (up.word1 == 1000) {
                axis_close(h);
                return 1;
            }
        } else {
            printf("consumer: axis_read_upload -> %d %s\n", (int)rc, axis_get_error(h));
        }
    }
    axis_close(h);
    return 0;
}

int main(int argc, char **argv) {
    if (!loads()) {
        printf("consumer: the library did not answer as documented\n");
        return 1;
    }
    return argc < 2 || move_and_read(argv[1]) ? 0 : 1;
}
