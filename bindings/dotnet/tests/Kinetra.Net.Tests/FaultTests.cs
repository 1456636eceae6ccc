using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
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

    // A stopped simulator reads nothing: the pty fills, the first write that does not fit is
    // cut short when its timeout expires, and once the kernel has moved all it can toward
    // the far end, writes send nothing at all. The cut needs a pty buffer that is no
    // multiple of the frame's size: Linux 6's raw pty takes 20672 bytes (8 over a multiple
    // of 12 and of 24). The kernel may still make a little room after the cut, so a few
    // more moves can go through or be cut before the line is stuck for good.
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
            var failures = new List<KinetraException>();
            for (var i = 0; i < 100_000 && failures.Count < 8; ++i)
            {
                try
                {
                    send();
                    if (failures.Count == 0)
                    {
                        sent += frame;
                    }
                }
                catch (KinetraException e)
                {
                    failures.Add(e);
                    if (e is SendException && e is not IncompleteWriteException)
                    {
                        break;
                    }
                }
            }
            Assert.True(sent > 0, "the pty took no whole frame before it filled");
            Assert.NotEmpty(failures);
            var cut = Assert.IsType<IncompleteWriteException>(failures[0]);
            Assert.Equal(frame, cut.Expected);
            Assert.InRange(cut.Written, 1, frame - 1);
            Assert.Equal(cut.Written, cut.Code);
            Assert.Null(cut.NativeMessage);
            Assert.Contains($"{cut.Written} of {frame} bytes", cut.Message);

            var none = Assert.IsType<SendException>(failures[^1]);
            Assert.Equal(-6, none.Code);
            Assert.Equal("串口发送失败", none.NativeMessage);
        }
        finally
        {
            sim.Signal(Simulator.SIGCONT);
        }
    }
}
