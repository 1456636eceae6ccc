using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using Xunit;

namespace Kinetra.Tests;

public class ThreadTests
{
    private const int Threads = 8;
    private const int Rounds = 40;

    // Eight threads share one Platform: moves of every kind, refusals on every axis and
    // reads, all at once. Every frame must reach the simulator whole, and every refusal must
    // name the axis of its own move, not one that another thread's call left behind.
    [Fact]
    public void EightThreadsShareOnePlatform()
    {
        using var sim = new Simulator("--rate", "100");
        var expected = new List<string>();
        var failures = new List<string>();
        var reads = 0;
        using (var platform = new Platform(sim.Port, 0x01, new Limits(9000, -9000, 9000, -9000, 9000, -9000)))
        {
            using var go = new Barrier(Threads);
            var workers = Enumerable.Range(0, Threads).Select(t => new Thread(() =>
            {
                go.SignalAndWait();
                for (var i = 0; i < Rounds; ++i)
                {
                    var target = (short)(t * 1000 + i);
                    try
                    {
                        switch (i % 5)
                        {
                            case 0: platform.MoveX(target, (ushort)t, (ushort)i); break;
                            case 1: platform.MoveY(target, (ushort)t, (ushort)i); break;
                            case 2: platform.MoveZ(target, (ushort)t, (ushort)i); break;
                            case 3:
                                platform.MoveAbsolute(new Motion(target, (ushort)t, (ushort)i),
                                                      new Motion((short)-target), new Motion(0));
                                break;
                            case 4:
                                platform.MoveRelative(new Motion(1), new Motion(target, (ushort)t, (ushort)i),
                                                      new Motion(-1));
                                break;
                        }
                        var refused = (Axis)((t + i) % 3);
                        var e = Assert.Throws<LimitException>(() =>
                        {
                            switch (refused)
                            {
                                case Axis.X: platform.MoveX(9001); break;
                                case Axis.Y: platform.MoveY(-9001); break;
                                default: platform.MoveZ(32000); break;
                            }
                        });
                        if (e.Axis != refused || e.NativeMessage != $"{refused}轴超出限位")
                        {
                            throw new Exception($"a {refused} refusal reported {e.Axis} / {e.NativeMessage}");
                        }
                        if (i % 10 == 9)
                        {
                            platform.ReadUpload();
                            Interlocked.Increment(ref reads);
                        }
                    }
                    catch (Exception e)
                    {
                        lock (failures)
                        {
                            failures.Add($"thread {t} round {i}: {e.GetType().Name}: {e.Message}");
                        }
                    }
                }
            })).ToList();
            workers.ForEach(w => w.Start());
            workers.ForEach(w => w.Join());
        }
        Assert.Empty(failures);
        Assert.Equal(Threads * Rounds / 10, reads);

        for (var t = 0; t < Threads; ++t)
        {
            for (var i = 0; i < Rounds; ++i)
            {
                var target = t * 1000 + i;
                expected.Add((i % 5) switch
                {
                    0 => $"move X X[target {target} aux1 {t} aux2 {i}]",
                    1 => $"move Y Y[target {target} aux1 {t} aux2 {i}]",
                    2 => $"move Z Z[target {target} aux1 {t} aux2 {i}]",
                    3 => $"move XYZ abs X[target {target} aux1 {t} aux2 {i}] Y[target {-target} aux1 0 aux2 0] Z[target 0 aux1 0 aux2 0]",
                    _ => $"move XYZ rel X[target 1 aux1 0 aux2 0] Y[target {target} aux1 {t} aux2 {i}] Z[target -1 aux1 0 aux2 0]",
                });
            }
        }
        var frames = sim.WaitForFrames(expected.Count);
        Assert.All(frames, f => Assert.True(f.CrcGood && f.Head == 0x01, f.ToString()));
        Assert.Equal(expected.OrderBy(s => s, StringComparer.Ordinal),
                     frames.Select(f => $"{f.Command} {f.Axes}").OrderBy(s => s, StringComparer.Ordinal));
        Assert.DoesNotContain(sim.Log, l => l.Contains("skipped") || l.Contains("CRC bad"));
    }
}
