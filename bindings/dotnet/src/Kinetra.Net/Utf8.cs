using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Kinetra
{
    internal static class Utf8
    {
        /// <summary>A NUL-terminated UTF-8 string owned by the library, as a string ("" for null).</summary>
        internal static string FromNative(IntPtr text)
        {
            if (text == IntPtr.Zero)
            {
                return "";
            }
#if NETSTANDARD2_1_OR_GREATER || NETCOREAPP
            return Marshal.PtrToStringUTF8(text) ?? "";
#else
            return Decode(text);
#endif
        }

        // netstandard2.0 has no Marshal.PtrToStringUTF8.
        internal static string Decode(IntPtr text)
        {
            if (text == IntPtr.Zero)
            {
                return "";
            }
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0)
            {
                ++length;
            }
            if (length == 0)
            {
                return "";
            }
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }
    }
}
