using System;
using System.ComponentModel;
using System.Runtime.CompilerServices;
using Xunit;

namespace Kinetra.Tests;

/// <summary>Opening, refusing to open, closing, and what happens after.</summary>
public class LifetimeTests
{
    private const int ENOENT = 2;
    private const int EAGAIN = 11;
    private const int EBUSY = 16;

    [Fact]
    public void MissingPortThrowsPortOpenExceptionWithTheOsError()
    {
        const string port = "/dev/kinetra-no-such-port";
        var e = Assert.Throws<PortOpenException>(() => new Platform(port));
        Assert.Equal(port, e.Port);
        Assert.Equal(ENOENT, e.ErrorCode);
        Assert.Equal(new Win32Exception(ENOENT).Message, e.OsMessage);
        Assert.Contains(port, e.Message);
        Assert.Contains(e.OsMessage, e.Message);
    }

    [Fact]
    public void BusyPortThrowsPortOpenException()
    {
        using var sim = new Simulator("--rate", "1");
        using var first = new Platform(sim.Port);
        var e = Assert.Throws<PortOpenException>(() => new Platform(sim.Port));
        // flock() refuses with EWOULDBLOCK (= EAGAIN); TIOCEXCL, for a non-root user, with EBUSY.
        Assert.Contains(e.ErrorCode, new[] { EAGAIN, EBUSY });
        Assert.Equal(new Win32Exception(e.ErrorCode).Message, e.OsMessage);
        first.MoveX(5);
        Assert.Single(sim.WaitForFrames(1));
    }

    [Fact]
    public void NullPortThrowsArgumentNullException()
    {
        Assert.Throws<ArgumentNullException>(() => new Platform(null!));
    }

    [Theory]
    [InlineData("MoveX")]
    [InlineData("MoveY")]
    [InlineData("MoveZ")]
    [InlineData("MoveAbsolute")]
    [InlineData("MoveRelative")]
    [InlineData("ReadUpload")]
    [InlineData("ReadUploadFresh")]
    [InlineData("Flush")]
    [InlineData("LastError")]
    public void UseAfterDisposeThrowsObjectDisposedException(string member)
    {
        using var sim = new Simulator("--rate", "20");
        var platform = new Platform(sim.Port);
        platform.Dispose();
        platform.Dispose(); // a second Dispose is harmless
        Action use = member switch
        {
            "MoveX" => () => platform.MoveX(1),
            "MoveY" => () => platform.MoveY(1),
            "MoveZ" => () => platform.MoveZ(1),
            "MoveAbsolute" => () => platform.MoveAbsolute(default, default, default),
            "MoveRelative" => () => platform.MoveRelative(default, default, default),
            "ReadUpload" => () => platform.ReadUpload(),
            "ReadUploadFresh" => () => platform.ReadUpload(fresh: true),
            "Flush" => platform.Flush,
            "LastError" => () => _ = platform.LastError,
            _ => throw new ArgumentException(member),
        };
        Assert.Throws<ObjectDisposedException>(use);
        Assert.Empty(sim.Frames);
    }

    [Fact]
    public void DisposeReleasesThePort()
    {
        using var sim = new Simulator("--rate", "1");
        new Platform(sim.Port).Dispose();
        using var again = new Platform(sim.Port);
        again.MoveX(3);
        Assert.Single(sim.WaitForFrames(1));
    }

    [Fact]
    public void CollectedPlatformReleasesThePort()
    {
        using var sim = new Simulator("--rate", "1");
        var weak = OpenAndAbandon(sim.Port);
        for (var i = 0; i < 10 && weak.IsAlive; ++i)
        {
            GC.Collect();
            GC.WaitForPendingFinalizers();
        }
        GC.Collect();
        GC.WaitForPendingFinalizers();
        Assert.False(weak.IsAlive, "the abandoned Platform was not collected");
        using var again = new Platform(sim.Port);
        again.MoveY(4);
        Assert.Equal("Y[target 4 aux1 0 aux2 0]", Assert.Single(sim.WaitForFrames(1)).Axes);
    }

    // Its own method, so that no local of the caller keeps the Platform alive.
    [MethodImpl(MethodImplOptions.NoInlining)]
    private static WeakReference OpenAndAbandon(string port)
    {
        var abandoned = new Platform(port);
        // While it lives, it holds the port.
        Assert.Throws<PortOpenException>(() => new Platform(port));
        return new WeakReference(abandoned);
    }
}
