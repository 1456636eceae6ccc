using System;
using System.Collections.Generic;
using System.Collections.ObjectModel;

namespace Kinetra
{
    /// <summary>The soft-limit window, inclusive bounds; each axis's maximum comes first.</summary>
    public readonly struct Limits
    {
        public Limits(int xMax, int xMin, int yMax, int yMin, int zMax, int zMin)
        {
            XMax = xMax;
            XMin = xMin;
            YMax = yMax;
            YMin = yMin;
            ZMax = zMax;
            ZMin = zMin;
        }

        public int XMax { get; }
        public int XMin { get; }
        public int YMax { get; }
        public int YMin { get; }
        public int ZMax { get; }
        public int ZMin { get; }

        internal NativeMethods.AxisLimits ToNative() => new NativeMethods.AxisLimits
        {
            XMax = XMax, XMin = XMin, YMax = YMax, YMin = YMin, ZMax = ZMax, ZMin = ZMin,
        };

        public override string ToString() =>
            $"X [{XMin}, {XMax}], Y [{YMin}, {YMax}], Z [{ZMin}, {ZMax}]";
    }

    /// <summary>One axis of a three-axis move. Only Target is judged against the window;
    /// Aux1 and Aux2 are sent to the platform unchanged.</summary>
    public readonly struct Motion
    {
        public Motion(short target, ushort aux1 = 0, ushort aux2 = 0)
        {
            Target = target;
            Aux1 = aux1;
            Aux2 = aux2;
        }

        public short Target { get; }
        public ushort Aux1 { get; }
        public ushort Aux2 { get; }

        internal NativeMethods.AxisMotion ToNative() =>
            new NativeMethods.AxisMotion { Target = Target, Aux1 = Aux1, Aux2 = Aux2 };

        public override string ToString() => $"target {Target} aux1 {Aux1} aux2 {Aux2}";
    }

    /// <summary>The latest upload record: payload bytes 0..12 of the platform's upload frame.
    /// The library gives the fields no further meaning.</summary>
    public sealed class Upload
    {
        public const int Size = 13;

        private readonly byte[] _raw;

        internal Upload(NativeMethods.AxisUpload native)
        {
            _raw = new byte[Size];
            _raw[0] = native.Byte0;
            WriteWord(_raw, 1, native.Word1);
            WriteWord(_raw, 3, native.Word2);
            WriteWord(_raw, 5, native.Word3);
            Array.Copy(native.Tail, 0, _raw, 7, 6);
            Byte0 = native.Byte0;
            Word1 = native.Word1;
            Word2 = native.Word2;
            Word3 = native.Word3;
            Tail = new ReadOnlyCollection<byte>((byte[])native.Tail.Clone());
            Raw = new ReadOnlyCollection<byte>(_raw);
        }

        public byte Byte0 { get; }
        public short Word1 { get; }
        public short Word2 { get; }
        public short Word3 { get; }

        /// <summary>Payload bytes 7..12, a read-only copy.</summary>
        public IReadOnlyList<byte> Tail { get; }

        /// <summary>All 13 payload bytes as on the wire (words little-endian), read-only.</summary>
        public IReadOnlyList<byte> Raw { get; }

        /// <summary>A new array holding the 13 payload bytes.</summary>
        public byte[] ToArray() => (byte[])_raw.Clone();

        private static void WriteWord(byte[] to, int at, short word)
        {
            to[at] = (byte)(word & 0xFF);
            to[at + 1] = (byte)((word >> 8) & 0xFF);
        }

        public override string ToString() =>
            $"byte0 0x{Byte0:X2} word1 {Word1} word2 {Word2} word3 {Word3} tail {BitConverter.ToString(_raw, 7, 6)}";
    }
}
