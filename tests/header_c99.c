/* The public header must compile as plain C99 under -pedantic without a
 * warning (an error with KINETRA_WERROR), and the whole interface must be
 * callable from C. */
#include <kinetra.h>

int kinetra_header_is_c99(void);

int kinetra_header_is_c99(void) {
    axis_limits window = {100, -100, 100, -100, 100, -100};
    axis_motion m = {1, 2, 3};
    axis_upload up;
    axis_handle *h = axis_init("port", 0x01, &window);
    int32_t r = axis_x_move(h, m.target, m.aux1, m.aux2) + axis_y_move(h, 0, 0, 0) +
                axis_z_move(h, 0, 0, 0) + axis_xyz_abs_move(h, &m, &m, &m) +
                axis_xyz_rel_move(h, &m, &m, &m) + axis_read_upload(h, &up);
    axis_flush(h);
    r += axis_get_error(h)[0];
    axis_close(h);
    return r == AXIS_OK || r == AXIS_E_NULL || r == AXIS_E_REFUSED || r == AXIS_E_FRAME ||
           r == AXIS_E_SILENT;
}
