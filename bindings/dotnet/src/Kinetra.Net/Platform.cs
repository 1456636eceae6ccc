using System;
using System.ComponentModel;
using System.Runtime.InteropServices;

namespace Kinetra
{
    /// <summary>One open serial port to a three-axis platform. Every failure throws a
    /// <see cref="KinetraException"/>. One instance may be shared between threads: each call
    /// holds the instance's lock, so frames and error texts never interleave.</summary>
    public sealed class Platform : IDisposable
    {
        private const int SingleAxisFrame = 12;
        private const int ThreeAxisFrame = 24;

        private readonly object _gate = new object();
        private readonly AxisHandle _handle;
        private bool _disposed;

        /// <summary>Opens <paramref name="port"/> (passed to the OS unchanged: "COM3", @"\\.\COM10",
        /// "/dev/ttyUSB0") at 115200 8N1. <paramref name="head"/> is byte 0 of every frame sent;
        /// <paramref name="limits"/> is the soft-limit window, none when null.</summary>
        /// <exception cref="PortOpenException">the port is missing, not accessible or already held.</exception>
        public Platform(string port, byte head = 0x01, Limits? limits = null)
        {
            if (port == null)
            {
                throw new ArgumentNullException(nameof(port));
            }
            AxisHandle handle;
            if (limits.HasValue)
            {
                var native = limits.Value.ToNative();
                handle = NativeMethods.axis_init(port, head, ref native);
            }
            else
            {
                handle = NativeMethods.axis_init_nolimits(port, head, IntPtr.Zero);
            }
            if (handle.IsInvalid)
            {
                int error = Marshal.GetLastWin32Error();
                handle.Dispose();
                throw new PortOpenException(port, error, new Win32Exception(error).Message);
            }
            _handle = handle;
            Port = port;
            Head = head;
            Limits = limits;
        }

        public string Port { get; }
        public byte Head { get; }
        public Limits? Limits { get; }

        /// <summary>The library's text of the last failure that carried one ("" before any).
        /// A success never clears it.</summary>
        public string LastError
        {
            get
            {
                lock (_gate)
                {
                    ThrowIfDisposed();
                    return Utf8.FromNative(NativeMethods.axis_get_error(_handle));
                }
            }
        }

        public void MoveX(short target, ushort aux1 = 0, ushort aux2 = 0)
        {
            lock (_gate)
            {
                ThrowIfDisposed();
                CheckMove(NativeMethods.axis_x_move(_handle, target, aux1, aux2), SingleAxisFrame);
            }
        }

        public void MoveY(short target, ushort aux1 = 0, ushort aux2 = 0)
        {
            lock (_gate)
            {
                ThrowIfDisposed();
                CheckMove(NativeMethods.axis_y_move(_handle, target, aux1, aux2), SingleAxisFrame);
            }
        }

        public void MoveZ(short target, ushort aux1 = 0, ushort aux2 = 0)
        {
            lock (_gate)
            {
                ThrowIfDisposed();
                CheckMove(NativeMethods.axis_z_move(_handle, target, aux1, aux2), SingleAxisFrame);
            }
        }

        /// <summary>A three-axis absolute move (command 0xA5).</summary>
        public void MoveAbsolute(Motion x, Motion y, Motion z)
        {
            var nx = x.ToNative();
            var ny = y.ToNative();
            var nz = z.ToNative();
            lock (_gate)
            {
                ThrowIfDisposed();
                CheckMove(NativeMethods.axis_xyz_abs_move(_handle, ref nx, ref ny, ref nz), ThreeAxisFrame);
            }
        }

        /// <summary>A three-axis relative move (command 0xA4). The words are judged against the
        /// window as given: the library keeps no position.</summary>
        public void MoveRelative(Motion x, Motion y, Motion z)
        {
            var nx = x.ToNative();
            var ny = y.ToNative();
            var nz = z.ToNative();
            lock (_gate)
            {
                ThrowIfDisposed();
                CheckMove(NativeMethods.axis_xyz_rel_move(_handle, ref nx, ref ny, ref nz), ThreeAxisFrame);
            }
        }

        /// <summary>The newest upload the port holds. With <paramref name="fresh"/>, what was
        /// received before the call is discarded first, so only an upload sent after it counts.
        /// Blocks about 500 ms when nothing arrives.</summary>
        /// <exception cref="FrameException">bytes came but no good upload frame.</exception>
        /// <exception cref="SilentException">nothing came.</exception>
        public Upload ReadUpload(bool fresh = false)
        {
            lock (_gate)
            {
                ThrowIfDisposed();
                if (fresh)
                {
                    NativeMethods.axis_flush(_handle);
                }
                int rc = NativeMethods.axis_read_upload(_handle, out var upload);
                if (rc != NativeMethods.AXIS_OK)
                {
                    throw Failure(rc);
                }
                return new Upload(upload);
            }
        }

        /// <summary>Discards every byte received and not yet read. Pending output is kept.</summary>
        public void Flush()
        {
            lock (_gate)
            {
                ThrowIfDisposed();
                NativeMethods.axis_flush(_handle);
            }
        }

        /// <summary>Closes the port. Safe to call more than once; waits for a call in progress
        /// on another thread to finish.</summary>
        public void Dispose()
        {
            lock (_gate)
            {
                if (_disposed)
                {
                    return;
                }
                _disposed = true;
                _handle.Dispose();
            }
        }

        private void ThrowIfDisposed()
        {
            if (_disposed)
            {
                throw new ObjectDisposedException(nameof(Platform), $"the port {Port} has been closed");
            }
        }

        // Called under the lock, so the error text read here is the one this call left.
        private void CheckMove(int rc, int expected)
        {
            if (rc == expected)
            {
                return;
            }
            if (rc > 0)
            {
                throw new IncompleteWriteException(rc, expected);
            }
            throw Failure(rc);
        }

        private KinetraException Failure(int rc)
        {
            switch (rc)
            {
                case NativeMethods.AXIS_E_SILENT:
                    return new SilentException();
                case NativeMethods.AXIS_E_REFUSED:
                {
                    string text = Utf8.FromNative(NativeMethods.axis_get_error(_handle));
                    switch (text)
                    {
                        case "X轴超出限位": return new LimitException(Axis.X, text);
                        case "Y轴超出限位": return new LimitException(Axis.Y, text);
                        case "Z轴超出限位": return new LimitException(Axis.Z, text);
                        case "串口发送失败": return new SendException(text);
                        default: return new KinetraException(rc, text, "move refused");
                    }
                }
                case NativeMethods.AXIS_E_FRAME:
                {
                    string text = Utf8.FromNative(NativeMethods.axis_get_error(_handle));
                    switch (text)
                    {
                        case "未找到上传帧": return new FrameException(FrameErrorKind.NoUploadFrame, text);
                        case "CRC校验失败": return new FrameException(FrameErrorKind.Crc, text);
                        case "载荷不足": return new FrameException(FrameErrorKind.ShortPayload, text);
                        default: return new FrameException(FrameErrorKind.Unknown, text);
                    }
                }
                case NativeMethods.AXIS_E_NULL:
                    return new KinetraException(rc, null, "null handle or record");
                default:
                    return new KinetraException(rc, null, "unexpected result");
            }
        }
    }
}
