using System;
using System.Runtime.InteropServices;

namespace Kinetra
{
    /// <summary>The exports of Kinetra.dll / libKinetra.so, as include/kinetra.h declares them.</summary>
    internal static class NativeMethods
    {
        // DllImport("Kinetra") finds Kinetra.dll on Windows and libKinetra.so on Linux.
        internal const string Library = "Kinetra";

        internal const int AXIS_OK = 0;
        internal const int AXIS_E_NULL = -1;
        internal const int AXIS_E_REFUSED = -6;
        internal const int AXIS_E_FRAME = -7;
        internal const int AXIS_E_SILENT = -8;

        [StructLayout(LayoutKind.Sequential, Pack = 1)]
        internal struct AxisLimits
        {
            public int XMax, XMin, YMax, YMin, ZMax, ZMin;
        }

        [StructLayout(LayoutKind.Sequential, Pack = 1)]
        internal struct AxisMotion
        {
            public short Target;
            public ushort Aux1, Aux2;
        }

        [StructLayout(LayoutKind.Sequential, Pack = 1)]
        internal struct AxisUpload
        {
            public byte Byte0;
            public short Word1, Word2, Word3;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = 6)] public byte[] Tail;
        }

        // The port name goes to the OS unchanged; LPStr is what the header's
        // const char* takes (the port names in use are ASCII).
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, SetLastError = true,
                   EntryPoint = "axis_init")]
        internal static extern AxisHandle axis_init([MarshalAs(UnmanagedType.LPStr)] string port, byte head,
                                                    ref AxisLimits limits);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, SetLastError = true,
                   EntryPoint = "axis_init")]
        internal static extern AxisHandle axis_init_nolimits([MarshalAs(UnmanagedType.LPStr)] string port,
                                                             byte head, IntPtr noLimits);

        // Takes the raw pointer: it is only ever called by AxisHandle.ReleaseHandle.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void axis_close(IntPtr handle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void axis_flush(AxisHandle handle);

        // Never a string return: the marshaller would free the library's memory.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr axis_get_error(AxisHandle handle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int axis_x_move(AxisHandle handle, short target, ushort aux1, ushort aux2);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int axis_y_move(AxisHandle handle, short target, ushort aux1, ushort aux2);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int axis_z_move(AxisHandle handle, short target, ushort aux1, ushort aux2);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int axis_xyz_abs_move(AxisHandle handle, ref AxisMotion x, ref AxisMotion y,
                                                     ref AxisMotion z);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int axis_xyz_rel_move(AxisHandle handle, ref AxisMotion x, ref AxisMotion y,
                                                     ref AxisMotion z);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int axis_read_upload(AxisHandle handle, out AxisUpload upload);
    }
}
