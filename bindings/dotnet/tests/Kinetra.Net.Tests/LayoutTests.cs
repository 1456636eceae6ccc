using System;
using System.Runtime.InteropServices;
using System.Text;
using Xunit;

namespace Kinetra.Tests;

/// <summary>The records as the C header lays them out (#pragma pack(1)), and the error text's decoding.</summary>
public class LayoutTests
{
    [Theory]
    [InlineData(typeof(NativeMethods.AxisLimits), 24)]
    [InlineData(typeof(NativeMethods.AxisMotion), 6)]
    [InlineData(typeof(NativeMethods.AxisUpload), 13)]
    public void RecordSizeMatchesTheHeader(Type record, int size)
    {
        Assert.Equal(size, Marshal.SizeOf(record));
    }

    [Theory]
    [InlineData(typeof(NativeMethods.AxisLimits), "XMax", 0)]
    [InlineData(typeof(NativeMethods.AxisLimits), "XMin", 4)]
    [InlineData(typeof(NativeMethods.AxisLimits), "YMax", 8)]
    [InlineData(typeof(NativeMethods.AxisLimits), "YMin", 12)]
    [InlineData(typeof(NativeMethods.AxisLimits), "ZMax", 16)]
    [InlineData(typeof(NativeMethods.AxisLimits), "ZMin", 20)]
    [InlineData(typeof(NativeMethods.AxisMotion), "Target", 0)]
    [InlineData(typeof(NativeMethods.AxisMotion), "Aux1", 2)]
    [InlineData(typeof(NativeMethods.AxisMotion), "Aux2", 4)]
    [InlineData(typeof(NativeMethods.AxisUpload), "Byte0", 0)]
    [InlineData(typeof(NativeMethods.AxisUpload), "Word1", 1)]
    [InlineData(typeof(NativeMethods.AxisUpload), "Word2", 3)]
    [InlineData(typeof(NativeMethods.AxisUpload), "Word3", 5)]
    [InlineData(typeof(NativeMethods.AxisUpload), "Tail", 7)]
    public void FieldOffsetMatchesTheHeader(Type record, string field, int offset)
    {
        Assert.Equal(offset, (int)Marshal.OffsetOf(record, field));
    }

    [Theory]
    [InlineData("")]
    [InlineData("null handle")]
    [InlineData("X轴超出限位")]
    [InlineData("串口发送失败")]
    [InlineData("CRC校验失败")]
    [InlineData("载荷不足")]
    public void ErrorTextIsDecodedAsUtf8(string text)
    {
        var bytes = Encoding.UTF8.GetBytes(text);
        var native = Marshal.AllocHGlobal(bytes.Length + 1);
        try
        {
            Marshal.Copy(bytes, 0, native, bytes.Length);
            Marshal.WriteByte(native, bytes.Length, 0);
            // Decode is what netstandard2.0 uses; FromNative is whatever this build chose.
            Assert.Equal(text, Utf8.Decode(native));
            Assert.Equal(text, Utf8.FromNative(native));
        }
        finally
        {
            Marshal.FreeHGlobal(native);
        }
    }

    [Fact]
    public void NullErrorTextIsEmpty()
    {
        Assert.Equal("", Utf8.Decode(IntPtr.Zero));
        Assert.Equal("", Utf8.FromNative(IntPtr.Zero));
    }
}
