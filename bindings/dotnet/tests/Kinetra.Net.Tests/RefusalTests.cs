using System;
using Xunit;

namespace Kinetra.Tests;

/// <summary>Moves the window refuses: the right exception, the library's Chinese text intact,
/// and nothing on the wire.</summary>
public class RefusalTests
{
    // X [-1000, 1000], Y [-1000, 1000], Z [-1000, 1000] unless a row says otherwise.
    [Theory]
    [InlineData("MoveX 1001", 1000, -1000, 1000, -1000, 1000, -1000, Axis.X, "X轴超出限位")]
    [InlineData("MoveX -1001", 1000, -1000, 1000, -1000, 1000, -1000, Axis.X, "X轴超出限位")]
    [InlineData("MoveY 5000", 1000, -1000, 1000, -1000, 1000, -1000, Axis.Y, "Y轴超出限位")]
    [InlineData("MoveZ -32768", 1000, -1000, 1000, -1000, 1000, -1000, Axis.Z, "Z轴超出限位")]
    // A single-axis move is judged with 0 on the other axes.
    [InlineData("MoveX 15", 1000, -1000, 20, 10, 1000, -1000, Axis.Y, "Y轴超出限位")]
    [InlineData("MoveAbsolute 0 0 1001", 1000, -1000, 1000, -1000, 1000, -1000, Axis.Z, "Z轴超出限位")]
    [InlineData("MoveRelative 0 -1001 0", 1000, -1000, 1000, -1000, 1000, -1000, Axis.Y, "Y轴超出限位")]
    public void OutsideTheWindowThrowsLimitException(string call, int xMax, int xMin, int yMax, int yMin,
                                                     int zMax, int zMin, Axis axis, string text)
    {
        using var sim = new Simulator("--rate", "1");
        using (var platform = new Platform(sim.Port, 0x01, new Limits(xMax, xMin, yMax, yMin, zMax, zMin)))
        {
            var e = Assert.Throws<LimitException>(() => Calls.Move(platform, call));
            Assert.Equal(axis, e.Axis);
            Assert.Equal(-6, e.Code);
            Assert.Equal(text, e.NativeMessage);
            Assert.Equal(text, platform.LastError);
            Assert.Contains($"{axis} axis beyond its limit", e.Message);
            Assert.Contains(text, e.Message);
            // Refused moves send nothing: the first frame logged is the next good one, a move
            // to the middle of the window. A success leaves the text as it was.
            platform.MoveAbsolute(new Motion((short)((xMax + xMin) / 2), 42), new Motion((short)((yMax + yMin) / 2)),
                                  new Motion((short)((zMax + zMin) / 2), 0, 43));
            Assert.Equal(text, platform.LastError);
        }
        var frame = Assert.Single(sim.WaitForFrames(1));
        Assert.Equal($"X[target {(xMax + xMin) / 2} aux1 42 aux2 0] Y[target {(yMax + yMin) / 2} aux1 0 aux2 0] " +
                     $"Z[target {(zMax + zMin) / 2} aux1 0 aux2 43]", frame.Axes);
    }

    [Fact]
    public void InsideTheWindowIsSent()
    {
        using var sim = new Simulator("--rate", "1");
        using (var platform = new Platform(sim.Port, 0x01, new Limits(1000, -1000, 1000, -1000, 1000, -1000)))
        {
            platform.MoveX(1000);
            platform.MoveY(-1000);
            platform.MoveAbsolute(new Motion(1000), new Motion(-1000), new Motion(0));
        }
        Assert.Equal(3, sim.WaitForFrames(3).Count);
    }
}
