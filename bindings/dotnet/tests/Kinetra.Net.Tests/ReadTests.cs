using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Threading;
using Xunit;

namespace Kinetra.Tests;

public class ReadTests
{
    private static uint Counter(Upload u) => BitConverter.ToUInt32(u.Raw.Skip(7).Take(4).ToArray(), 0);

    [Fact]
    public void UploadCarriesThePositionsTheSimulatorReached()
    {
        using var sim = new Simulator("--rate", "50", "--speed", "100000");
        using var platform = new Platform(sim.Port);
        platform.MoveAbsolute(new Motion(100), new Motion(-200), new Motion(300));
        Upload u = null;
        var until = DateTime.UtcNow.AddSeconds(5);
        while (DateTime.UtcNow < until)
        {
            u = platform.ReadUpload(fresh: true);
            if (u.Byte0 == 0 && u.Word1 == 100 && u.Word2 == -200 && u.Word3 == 300)
            {
                break;
            }
        }
        Assert.NotNull(u);
        Assert.Equal((0, 100, -200, 300), ((int)u.Byte0, (int)u.Word1, (int)u.Word2, (int)u.Word3));

        // Raw is the payload as on the wire; the fields are views of it.
        Assert.Equal(Upload.Size, u.Raw.Count);
        Assert.Equal(u.Byte0, u.Raw[0]);
        Assert.Equal(u.Word1, BitConverter.ToInt16(u.Raw.Skip(1).Take(2).ToArray(), 0));
        Assert.Equal(u.Word2, BitConverter.ToInt16(u.Raw.Skip(3).Take(2).ToArray(), 0));
        Assert.Equal(u.Word3, BitConverter.ToInt16(u.Raw.Skip(5).Take(2).ToArray(), 0));
        Assert.Equal(u.Raw.Skip(7), u.Tail);
        Assert.Equal(6, u.Tail.Count);
        Assert.Equal(new byte[] { 0, 0 }, u.Tail.Skip(4));

        // The simulator counts its frames in tail[0..3]: a later read is a later frame.
        var later = platform.ReadUpload(fresh: true);
        Assert.True(Counter(later) > Counter(u), $"counter {Counter(later)} after {Counter(u)}");
    }

    [Fact]
    public void UploadIsImmutable()
    {
        using var sim = new Simulator("--rate", "50");
        using var platform = new Platform(sim.Port);
        var u = platform.ReadUpload(fresh: true);
        var copy = u.ToArray();
        copy[1] ^= 0xFF;
        Assert.NotEqual(copy[1], u.Raw[1]);
        Assert.Throws<NotSupportedException>(() => ((IList<byte>)u.Raw)[0] = 1);
        Assert.Throws<NotSupportedException>(() => ((IList<byte>)u.Tail)[0] = 1);
        Assert.Throws<NotSupportedException>(() => ((ICollection<byte>)u.Raw).Clear());
    }

    // One upload every 2 s. Right after upload k, the next is 2 s away: 2.3 s later it is
    // waiting in the port; a flush drops it, and the read then hears nothing in its 500 ms.
    [Theory]
    [InlineData("read")]
    [InlineData("flush")]
    [InlineData("fresh")]
    public void FlushDropsWhatWasQueued(string how)
    {
        using var sim = new Simulator("--rate", "0.5");
        using var platform = new Platform(sim.Port);
        Upload first = null;
        var until = DateTime.UtcNow.AddSeconds(8);
        while (first == null && DateTime.UtcNow < until)
        {
            try
            {
                // Not fresh: a flush could drop an upload that lands just as a silent read ends.
                first = platform.ReadUpload();
            }
            catch (SilentException)
            {
            }
        }
        Assert.NotNull(first);
        var clock = Stopwatch.StartNew();
        Thread.Sleep(2300);
        switch (how)
        {
            case "read":
                var next = platform.ReadUpload();
                Assert.Equal(Counter(first) + 1, Counter(next));
                break;
            case "flush":
                platform.Flush();
                Assert.Throws<SilentException>(() => platform.ReadUpload());
                break;
            case "fresh":
                Assert.Throws<SilentException>(() => platform.ReadUpload(fresh: true));
                break;
        }
        Assert.True(clock.Elapsed.TotalSeconds < 3.9, $"the test ran late ({clock.Elapsed}): its timing does not hold");
    }
}
