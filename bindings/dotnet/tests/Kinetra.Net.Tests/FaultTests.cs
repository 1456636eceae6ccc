using System;
using System.Diagnostics;
using Xunit;

namespace Kinetra.Tests;

/// <summary>Each simulator fault and the exception it must cause.</summary>
public class FaultTests
{
    [Theory]
    [InlineData("--bad-crc", FrameErrorKind.Crc, "CRC校验失败", "CRC check failed")]
    [InlineData("--short-payload", FrameErrorKind.ShortPayload, "载荷不足", "payload too short")]
    [InlineData("--stray-head", FrameErrorKind.NoUploadFrame, "未找到上传帧", "no upload frame found")]
    public void BadUploadThrowsFrameException(string fault, FrameErrorKind kind, string text, string gloss)
    {
        using var sim = new Simulator("--rate", "50", fault, "1", "--seed", "7");
        using var platform = new Platform(sim.Port);
        var e = Assert.Throws<FrameException>(() => platform.ReadUpload(fresh: true));
        Assert.Equal(kind, e.Kind);
        Assert.Equal(-7, e.Code);
        Assert.Equal(text, e.NativeMessage);
        Assert.Equal(text, platform.LastError);
        Assert.Contains(gloss, e.Message);
    }

    [Fact]
    public void SilentPlatformThrowsSilentExceptionAndKeepsTheLastText()
    {
        using var sim = new Simulator("--silent");
        using var platform = new Platform(sim.Port, 0x01, new Limits(10, -10, 10, -10, 10, -10));
        Assert.Throws<LimitException>(() => platform.MoveZ(11));
        var clock = Stopwatch.StartNew();
        var e = Assert.Throws<SilentException>(() => platform.ReadUpload());
        Assert.InRange(clock.Elapsed.TotalSeconds, 0.4, 5.0);
        Assert.Equal(-8, e.Code);
        Assert.Null(e.NativeMessage);
        // AXIS_E_SILENT carries no text and leaves the previous one in place.
        Assert.Equal("Z轴超出限位", platform.LastError);
    }

    [Fact]
    public void HangUpThrowsSendException()
    {
        using var sim = new Simulator("--rate", "1");
        using var platform = new Platform(sim.Port);
        platform.MoveX(1);
        sim.Stop();
        var e = Assert.Throws<SendException>(() => platform.MoveY(2));
        Assert.IsNotType<IncompleteWriteException>(e);
        Assert.Equal(-6, e.Code);
        Assert.Equal("串口发送失败", e.NativeMessage);
        Assert.Equal("串口发送失败", platform.LastError);
        Assert.Contains("serial send failed", e.Message);
    }

    // A stopped simulator reads nothing: the pty fills, one write is cut short when its
    // timeout expires, and the next sends nothing at all. The cut needs a pty buffer that
    // is no multiple of the frame's size: Linux 6's raw pty takes 20672 bytes (8 over a
    // multiple of 12 and of 24).
    [Theory]
    [InlineData("MoveX", 12)]
    [InlineData("MoveAbsolute", 24)]
    public void StalledLineThrowsIncompleteWriteThenSendException(string move, int frame)
    {
        using var sim = new Simulator("--rate", "1");
        using var platform = new Platform(sim.Port);
        Action send = move == "MoveX"
            ? () => platform.MoveX(1)
            : () => platform.MoveAbsolute(new Motion(1), new Motion(2), new Motion(3));
        sim.Signal(Simulator.SIGSTOP);
        try
        {
            var sent = 0;
            KinetraException first = null;
            while (first == null && sent < 1_000_000)
            {
                try
                {
                    send();
                    sent += frame;
                }
                catch (KinetraException e)
                {
                    first = e;
                }
            }
            var cut = Assert.IsType<IncompleteWriteException>(first);
            Assert.Equal(frame, cut.Expected);
            Assert.InRange(cut.Written, 1, frame - 1);
            Assert.Equal(cut.Written, cut.Code);
            Assert.Null(cut.NativeMessage);
            Assert.Contains($"{cut.Written} of {frame} bytes", cut.Message);
            Assert.True(sent > 0, "the pty took no whole frame before it filled");

            var none = Assert.Throws<SendException>(send);
            Assert.IsNotType<IncompleteWriteException>(none);
            Assert.Equal("串口发送失败", none.NativeMessage);
        }
        finally
        {
            sim.Signal(Simulator.SIGCONT);
        }
    }
}
