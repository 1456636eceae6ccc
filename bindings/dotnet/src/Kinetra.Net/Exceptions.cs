using System;

namespace Kinetra
{
    /// <summary>A call of the library failed. Code is its result; NativeMessage the library's own
    /// text (UTF-8, often Chinese) or null when the failure carries none; Message an English gloss.</summary>
    public class KinetraException : Exception
    {
        public KinetraException(int code, string nativeMessage, string gloss)
            : base(Compose(code, nativeMessage, gloss))
        {
            Code = code;
            NativeMessage = nativeMessage;
        }

        /// <summary>For failures that have no result code of their own (a port that would not open).</summary>
        protected KinetraException(string message, int code) : base(message)
        {
            Code = code;
        }

        public int Code { get; }
        public string NativeMessage { get; }

        private static string Compose(int code, string nativeMessage, string gloss) =>
            string.IsNullOrEmpty(nativeMessage)
                ? $"{gloss} [result {code}]"
                : $"{gloss} ({nativeMessage}) [result {code}]";
    }

    public enum Axis
    {
        X,
        Y,
        Z,
    }

    /// <summary>A target lies outside the soft-limit window; nothing was sent.</summary>
    public sealed class LimitException : KinetraException
    {
        public LimitException(Axis axis, string nativeMessage)
            : base(NativeMethods.AXIS_E_REFUSED, nativeMessage, $"{axis} axis beyond its limit")
        {
            Axis = axis;
        }

        public Axis Axis { get; }
    }

    /// <summary>The move's frame could not be sent: the write failed or sent nothing at all.</summary>
    public class SendException : KinetraException
    {
        public SendException(string nativeMessage)
            : base(NativeMethods.AXIS_E_REFUSED, nativeMessage, "serial send failed")
        {
        }

        protected SendException(int code, string nativeMessage, string gloss) : base(code, nativeMessage, gloss)
        {
        }
    }

    /// <summary>The write timed out part-way: only Written of the frame's Expected bytes went out,
    /// so the platform got a broken frame. Code is the library's result, the byte count.</summary>
    public sealed class IncompleteWriteException : SendException
    {
        public IncompleteWriteException(int written, int expected)
            : base(written, null, $"incomplete write: {written} of {expected} bytes sent")
        {
            Written = written;
            Expected = expected;
        }

        public int Written { get; }
        public int Expected { get; }
    }

    public enum FrameErrorKind
    {
        /// <summary>A message this version does not know.</summary>
        Unknown,
        NoUploadFrame,
        Crc,
        ShortPayload,
    }

    /// <summary>Bytes arrived but no good upload frame was among them.</summary>
    public sealed class FrameException : KinetraException
    {
        public FrameException(FrameErrorKind kind, string nativeMessage)
            : base(NativeMethods.AXIS_E_FRAME, nativeMessage, Gloss(kind))
        {
            Kind = kind;
        }

        public FrameErrorKind Kind { get; }

        private static string Gloss(FrameErrorKind kind)
        {
            switch (kind)
            {
                case FrameErrorKind.NoUploadFrame: return "no upload frame found";
                case FrameErrorKind.Crc: return "CRC check failed";
                case FrameErrorKind.ShortPayload: return "payload too short";
                default: return "bad upload frame";
            }
        }
    }

    /// <summary>Nothing at all was received in about 500 ms.</summary>
    public sealed class SilentException : KinetraException
    {
        public SilentException()
            : base(NativeMethods.AXIS_E_SILENT, null, "nothing received from the platform")
        {
        }
    }

    /// <summary>axis_init could not open the port. ErrorCode is the OS error of that open
    /// (errno on Linux, GetLastError() on Windows) and OsMessage its text. axis_init returns
    /// a null handle, not a result, so Code is 0.</summary>
    public sealed class PortOpenException : KinetraException
    {
        public PortOpenException(string port, int errorCode, string osMessage)
            : base($"cannot open {port}: {osMessage} (OS error {errorCode})", 0)
        {
            Port = port;
            ErrorCode = errorCode;
            OsMessage = osMessage;
        }

        public string Port { get; }
        public int ErrorCode { get; }
        public string OsMessage { get; }
    }
}
