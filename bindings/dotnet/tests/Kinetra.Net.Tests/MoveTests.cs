using System;
using System.Linq;
using Xunit;

namespace Kinetra.Tests;

/// <summary>Every move puts exactly its frame on the wire, as the simulator decodes it.</summary>
public class MoveTests
{
    public static TheoryData<string, byte, string, string> Moves => new()
    {
        { "MoveX 500 100 10", 0x01, "move X", "X[target 500 aux1 100 aux2 10]" },
        { "MoveY -1234 65535 0", 0x01, "move Y", "Y[target -1234 aux1 65535 aux2 0]" },
        { "MoveZ 32767 1 2", 0x2B, "move Z", "Z[target 32767 aux1 1 aux2 2]" },
        { "MoveX -32768", 0x01, "move X", "X[target -32768 aux1 0 aux2 0]" },
        { "MoveAbsolute 100 1 2 -200 3 4 300 5 6", 0x01, "move XYZ abs",
          "X[target 100 aux1 1 aux2 2] Y[target -200 aux1 3 aux2 4] Z[target 300 aux1 5 aux2 6]" },
        { "MoveRelative -7 0 0 8 9 10 0 65535 65535", 0xFE, "move XYZ rel",
          "X[target -7 aux1 0 aux2 0] Y[target 8 aux1 9 aux2 10] Z[target 0 aux1 65535 aux2 65535]" },
    };

    [Theory]
    [MemberData(nameof(Moves))]
    public void MoveSendsItsFrame(string call, byte head, string command, string axes)
    {
        using var sim = new Simulator("--rate", "1");
        using (var platform = new Platform(sim.Port, head))
        {
            Calls.Move(platform, call);
        }
        var frame = Assert.Single(sim.WaitForFrames(1));
        Assert.Equal(new LoggedFrame(head, command, command.StartsWith("move XYZ") ? 18 : 6, axes, true), frame);
    }

    [Fact]
    public void PropertiesEchoTheConstructor()
    {
        using var sim = new Simulator("--rate", "1");
        var limits = new Limits(1, -2, 3, -4, 5, -6);
        using var platform = new Platform(sim.Port, 0x33, limits);
        Assert.Equal(sim.Port, platform.Port);
        Assert.Equal(0x33, platform.Head);
        Assert.Equal(limits, platform.Limits);
        Assert.Equal("", platform.LastError);
    }
}

/// <summary>Moves written as text, so that tables of cases can name them.</summary>
internal static class Calls
{
    public static void Move(Platform platform, string call)
    {
        var parts = call.Split(' ');
        var n = parts.Skip(1).Select(int.Parse).ToArray();
        ushort U(int i) => i < n.Length ? (ushort)n[i] : (ushort)0;
        Motion M(int i) => new((short)n[i], (ushort)n[i + 1], (ushort)n[i + 2]);
        switch (parts[0])
        {
            case "MoveX": platform.MoveX((short)n[0], U(1), U(2)); break;
            case "MoveY": platform.MoveY((short)n[0], U(1), U(2)); break;
            case "MoveZ": platform.MoveZ((short)n[0], U(1), U(2)); break;
            case "MoveAbsolute":
                platform.MoveAbsolute(n.Length == 3 ? new Motion((short)n[0]) : M(0),
                                      n.Length == 3 ? new Motion((short)n[1]) : M(3),
                                      n.Length == 3 ? new Motion((short)n[2]) : M(6));
                break;
            case "MoveRelative":
                platform.MoveRelative(n.Length == 3 ? new Motion((short)n[0]) : M(0),
                                      n.Length == 3 ? new Motion((short)n[1]) : M(3),
                                      n.Length == 3 ? new Motion((short)n[2]) : M(6));
                break;
            default: throw new ArgumentException("no such move: " + call);
        }
    }
}
