/* A minimal host: open the port named on the command line, move each axis,
 * make a three-axis move, and read the platform's latest upload. */
#include <kinetra.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

static int report(const char *what, int32_t result, axis_handle *axis) {
    if (result == AXIS_E_SILENT) {
        printf("%-10s -> %d  (nothing received)\n", what, (int)result);
        return 1;
    }
    if (result < 0) {
        /* The error text is meaningful right after -6 and -7. */
        printf("%-10s -> %d  %s\n", what, (int)result, axis_get_error(axis));
        return 1;
    }
    printf("%-10s -> %d\n", what, (int)result);
    return 0;
}

int main(int argc, char **argv) {
    axis_limits window = {1000, -1000, 1000, -1000, 1000, -1000};
    axis_motion x = {100, 0, 0}, y = {200, 0, 0}, z = {-300, 0, 0};
    axis_upload up;
    axis_handle *axis;
    int failures = 0;
    int32_t rc;

    if (argc != 2) {
        fprintf(stderr, "usage: %s PORT   (e.g. /dev/ttyUSB0 or COM3)\n", argv[0]);
        return 2;
    }
    axis = axis_init(argv[1], 0x01, &window);
    if (axis == NULL) {
        fprintf(stderr, "cannot open %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    failures += report("x move", axis_x_move(axis, 500, 100, 10), axis);
    failures += report("y move", axis_y_move(axis, -500, 100, 10), axis);
    failures += report("z move", axis_z_move(axis, 250, 100, 10), axis);
    failures += report("xyz abs", axis_xyz_abs_move(axis, &x, &y, &z), axis);
    /* Outside the window: refused before anything is sent. */
    report("x 5000", axis_x_move(axis, 5000, 0, 0), axis);

    rc = axis_read_upload(axis, &up);
    if (rc == AXIS_OK) {
        printf("upload     -> byte0 %u word1 %d word2 %d word3 %d\n", up.byte0, up.word1, up.word2,
               up.word3);
    } else {
        report("upload", rc, axis);
    }
    axis_close(axis);
    return failures == 0 ? 0 : 1;
}
