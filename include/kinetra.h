/*
 * kinetra.h — drive a three-axis X/Y/Z motion platform over a serial port.
 *
 * Plain C (C99 and later, and C++). Every function uses the C calling
 * convention and is exported undecorated from Kinetra.dll / libKinetra.so.
 *
 * Lifecycle: axis_init opens a handle; moves, reads, flushes and error
 * queries follow; axis_close releases it. Nothing may be called with a handle
 * after axis_close.
 *
 * Threading contract: a handle may be used by one thread at a time; calls on
 * the same handle from several threads at once are not synchronised and would
 * interleave port I/O and error-text updates. Separate handles share nothing,
 * so different threads may each drive their own handle freely. The library
 * starts no threads and keeps no global state.
 *
 * Processes (POSIX): a port is held through an exclusive flock() on its open
 * file description, opened close-on-exec. A child made by fork() shares that
 * description until it calls exec (which closes it) or exits, so while such
 * a child exists the port counts as held: if the host closes the handle in
 * that window, another axis_init on the same port returns NULL with errno
 * EWOULDBLOCK until the child has exec'd or exited. The library does nothing
 * about a fork without exec, which is the host's choice: a host that forks
 * (in any thread) and then reopens a port should let its children exec or
 * exit first, or retry the open. posix_spawn(), system() and popen() exec at
 * once, so they hold the port only for that moment.
 *
 * Blocking: every call runs on the caller's thread. A move blocks until its
 * frame is written, at most 10 ms per byte + 500 ms. axis_read_upload blocks
 * about 500 ms when nothing arrives (five immediate reads, each empty one
 * followed by a 100 ms pause); once bytes arrive, draining a backlog and
 * finishing a frame in flight add at most 64 × 5 ms and 4 × 20 ms, so a call
 * never blocks longer than about 0.9 s.
 *
 * Error text: a failing call that carries a message stores it in the handle;
 * axis_get_error returns it as NUL-terminated UTF-8 (Chinese messages
 * included). A successful call never clears it, and failures without a
 * message (AXIS_E_NULL, AXIS_E_SILENT) leave the previous one in place.
 *
 * No exception, allocation failure or signal raised by the library ever
 * crosses this interface.
 */
#ifndef KINETRA_H
#define KINETRA_H

#include <stddef.h>
#include <stdint.h>

/* One export macro. Define KINETRA_BUILD only when building the library. */
#if defined(_WIN32)
#if defined(KINETRA_BUILD)
#define KINETRA_API __declspec(dllexport)
#else
#define KINETRA_API __declspec(dllimport)
#endif
#define KINETRA_CALL __cdecl
#elif defined(__GNUC__)
#define KINETRA_API __attribute__((visibility("default")))
#define KINETRA_CALL
#else
#define KINETRA_API
#define KINETRA_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes (int32_t). A positive move result is a byte count. ---- */
/* Negative values never collide with OS error numbers: they are only ever
 * these five. */
#define AXIS_OK 0           /* axis_read_upload filled the caller's record */
#define AXIS_E_NULL (-1)    /* null handle or null record pointer */
#define AXIS_E_REFUSED (-6) /* target outside the window, or the write failed */
#define AXIS_E_FRAME (-7)   /* no upload frame, CRC mismatch, payload too short */
#define AXIS_E_SILENT (-8)  /* nothing at all was received */

/* Opaque handle on one open serial port. */
typedef struct axis_handle axis_handle;

#pragma pack(push, 1)

/* Soft-limit window, inclusive bounds; each axis's maximum comes first. */
typedef struct axis_limits {
    int32_t x_max;
    int32_t x_min;
    int32_t y_max;
    int32_t y_min;
    int32_t z_max;
    int32_t z_min;
} axis_limits;

/* One axis of a three-axis move. Only target is judged against the window;
 * aux1 and aux2 are sent to the platform unchanged. */
typedef struct axis_motion {
    int16_t target;
    uint16_t aux1;
    uint16_t aux2;
} axis_motion;

/* The latest upload record: byte for byte payload bytes 0..12 of the
 * platform's upload frame. Words are little-endian on the wire; the library
 * gives the fields no further meaning. */
typedef struct axis_upload {
    uint8_t byte0;
    int16_t word1;
    int16_t word2;
    int16_t word3;
    uint8_t tail[6];
} axis_upload;

#pragma pack(pop)

#if defined(__cplusplus)
#define KINETRA_STATIC_ASSERT(cond, name) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KINETRA_STATIC_ASSERT(cond, name) _Static_assert(cond, #name)
#else
#define KINETRA_STATIC_ASSERT(cond, name) typedef char kinetra_assert_##name[(cond) ? 1 : -1]
#endif

KINETRA_STATIC_ASSERT(sizeof(axis_limits) == 24, limits_size);
KINETRA_STATIC_ASSERT(sizeof(axis_motion) == 6, motion_size);
KINETRA_STATIC_ASSERT(offsetof(axis_motion, aux2) == 4, motion_aux2_offset);
KINETRA_STATIC_ASSERT(sizeof(axis_upload) == 13, upload_size);
KINETRA_STATIC_ASSERT(offsetof(axis_upload, word1) == 1, upload_word1_offset);
KINETRA_STATIC_ASSERT(offsetof(axis_upload, word2) == 3, upload_word2_offset);
KINETRA_STATIC_ASSERT(offsetof(axis_upload, word3) == 5, upload_word3_offset);
KINETRA_STATIC_ASSERT(offsetof(axis_upload, tail) == 7, upload_tail_offset);

/* ---- Lifecycle ---- */

/* Opens the serial port `port` (passed to the OS unchanged: "COM3",
 * "\\\\.\\COM10", "/dev/ttyUSB0"), sets 115200 baud 8N1 and fixed timeouts,
 * and returns a new handle; `head` is byte 0 of every frame sent through it.
 * `limits` may be null (no window); otherwise it is copied now and never
 * referenced again.
 * Returns null when `port` is null, memory runs out, or the port cannot be
 * opened (missing, no access, or already held: the port is opened without
 * sharing). When the open failed, the OS error of that open is left in place
 * for the caller: errno on POSIX, GetLastError() on Windows.
 * Line settings or timeouts that cannot be applied are ignored. */
KINETRA_API axis_handle *KINETRA_CALL axis_init(const char *port, uint8_t head,
                                                const axis_limits *limits);

/* Closes the port and frees the handle. A null handle is ignored. */
KINETRA_API void KINETRA_CALL axis_close(axis_handle *handle);

/* Discards every byte the port has received and not yet delivered. Pending
 * output is not touched. A null handle is ignored. */
KINETRA_API void KINETRA_CALL axis_flush(axis_handle *handle);

/* The message of the last failure that carried one, as NUL-terminated UTF-8;
 * "" before any such failure; "null handle" for a null handle. The pointer
 * stays valid until the next failure on this handle or axis_close.
 * Messages (see README for glosses): "X轴超出限位", "Y轴超出限位",
 * "Z轴超出限位", "串口发送失败", "未找到上传帧", "CRC校验失败", "载荷不足". */
KINETRA_API const char *KINETRA_CALL axis_get_error(axis_handle *handle);

/* ---- Moves ----
 * Each move judges its target(s) against the window, sends one frame and
 * returns the number of bytes written: 12 for a single-axis move, 24 for a
 * three-axis move, fewer if the write timed out part-way.
 *   AXIS_E_NULL     null handle or null record pointer; text unchanged
 *   AXIS_E_REFUSED  a target outside the window ("X轴超出限位", "Y轴超出限位",
 *                   "Z轴超出限位"; nothing is sent), or the write failed or
 *                   sent nothing at all ("串口发送失败")
 * A single-axis move judges the point with 0 on the two other axes, so it is
 * refused when another axis's window does not contain 0. */

KINETRA_API int32_t KINETRA_CALL axis_x_move(axis_handle *handle, int16_t target, uint16_t aux1,
                                             uint16_t aux2);
KINETRA_API int32_t KINETRA_CALL axis_y_move(axis_handle *handle, int16_t target, uint16_t aux1,
                                             uint16_t aux2);
KINETRA_API int32_t KINETRA_CALL axis_z_move(axis_handle *handle, int16_t target, uint16_t aux1,
                                             uint16_t aux2);

/* Three-axis moves: absolute (command 0xA5) and relative (0xA4). Both judge
 * the three target words as given; the library keeps no position. */
KINETRA_API int32_t KINETRA_CALL axis_xyz_abs_move(axis_handle *handle, const axis_motion *x,
                                                   const axis_motion *y, const axis_motion *z);
KINETRA_API int32_t KINETRA_CALL axis_xyz_rel_move(axis_handle *handle, const axis_motion *x,
                                                   const axis_motion *y, const axis_motion *z);

/* ---- Upload ----
 * Reads what the port holds (up to five attempts, 100 ms apart), picks the
 * last complete upload frame, verifies its CRC and copies 13 payload bytes
 * into *upload. The record is written only on AXIS_OK.
 * The newest upload wins, whatever the timing:
 *   - a read that brings 2048 bytes or more may be only the oldest part of
 *     what the driver queued while nobody read (a platform streams at its
 *     own pace): the call reads on, up to 64 more reads of about 4 KiB, each
 *     waiting at most 5 ms to fill, until one comes back with less, and
 *     keeps the newest frame of all it read;
 *   - bytes that end in the first part of a frame are a frame still on the
 *     line: the call reads exactly the bytes it lacks, waiting at most 20 ms
 *     (the rest of a frame at 115200 baud and a USB adapter's latency), so
 *     the frame is used whole and the next call starts at a frame boundary;
 *   - bytes with no upload frame in them may be noise just ahead of one:
 *     the call waits for it the same way, at most 20 ms a read.
 * In the usual case (less than 2 KiB waiting, ending with a whole frame) the
 * call makes one read and returns at once.
 *   AXIS_OK         *upload filled
 *   AXIS_E_NULL     null handle or null record pointer; text unchanged
 *   AXIS_E_FRAME    "未找到上传帧" (no complete upload frame), "CRC校验失败"
 *                   (the chosen frame's CRC is wrong), "载荷不足" (fewer
 *                   than 13 payload bytes)
 *   AXIS_E_SILENT   nothing received in about 500 ms; text unchanged */
KINETRA_API int32_t KINETRA_CALL axis_read_upload(axis_handle *handle, axis_upload *upload);

#ifdef __cplusplus
}
#endif

#endif /* KINETRA_H */
