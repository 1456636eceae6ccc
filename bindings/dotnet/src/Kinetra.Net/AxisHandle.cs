using System;
using System.Runtime.InteropServices;

namespace Kinetra
{
    /// <summary>One open axis_handle*; released with axis_close exactly once, by Dispose or by the finalizer.</summary>
    internal sealed class AxisHandle : SafeHandle
    {
        // The marshaller creates instances through this constructor when axis_init returns.
        private AxisHandle() : base(IntPtr.Zero, ownsHandle: true)
        {
        }

        public override bool IsInvalid => handle == IntPtr.Zero;

        protected override bool ReleaseHandle()
        {
            NativeMethods.axis_close(handle);
            return true;
        }
    }
}
