using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using System.Threading;

namespace Kinetra.Tests;

/// <summary>One frame as kinetra-sim logged it.</summary>
public sealed record LoggedFrame(byte Head, string Command, int Length, string Axes, bool CrcGood);

/// <summary>A kinetra-sim process serving a fresh pseudo-terminal, with its log.</summary>
public sealed class Simulator : IDisposable
{
    private static readonly Regex FrameLine = new(
        @"head 0x([0-9A-F]{2}) (.+?) \(0x[0-9A-F]{2}\) len (\d+)((?: [XYZ]\[[^\]]*\])*) CRC (good|bad)");

    private readonly Process _process;
    private readonly List<string> _log = new();

    public Simulator(params string[] args)
    {
        var start = new ProcessStartInfo(Executable)
        {
            RedirectStandardOutput = true,
            RedirectStandardError = true,
            UseShellExecute = false,
        };
        foreach (var a in args)
        {
            start.ArgumentList.Add(a);
        }
        _process = Process.Start(start) ?? throw new InvalidOperationException("cannot start " + Executable);
        _process.ErrorDataReceived += (_, e) =>
        {
            if (e.Data != null)
            {
                lock (_log)
                {
                    _log.Add(e.Data);
                }
            }
        };
        _process.BeginErrorReadLine();
        var first = _process.StandardOutput.ReadLineAsync();
        if (!first.Wait(TimeSpan.FromSeconds(10)) || string.IsNullOrEmpty(first.Result))
        {
            _process.Kill();
            throw new InvalidOperationException("kinetra-sim printed no port; its log:\n" + string.Join("\n", Log));
        }
        Port = first.Result.Trim();
    }

    public static string Executable
    {
        get
        {
            var env = Environment.GetEnvironmentVariable("KINETRA_SIM");
            if (!string.IsNullOrEmpty(env))
            {
                return env;
            }
            var built = typeof(Simulator).Assembly.GetCustomAttributes<AssemblyMetadataAttribute>()
                .First(a => a.Key == "KinetraSim").Value!;
            if (!File.Exists(built))
            {
                throw new FileNotFoundException("kinetra-sim is not built (or set KINETRA_SIM)", built);
            }
            return built;
        }
    }

    public string Port { get; }
    public int Pid => _process.Id;

    public IReadOnlyList<string> Log
    {
        get
        {
            lock (_log)
            {
                return _log.ToArray();
            }
        }
    }

    public IReadOnlyList<LoggedFrame> Frames =>
        Log.Select(l => FrameLine.Match(l)).Where(m => m.Success)
            .Select(m => new LoggedFrame(Convert.ToByte(m.Groups[1].Value, 16), m.Groups[2].Value,
                                         int.Parse(m.Groups[3].Value), m.Groups[4].Value.Trim(),
                                         m.Groups[5].Value == "good"))
            .ToArray();

    /// <summary>The logged frames once there are at least <paramref name="count"/> of them
    /// (the log trails the writes a little), or all there are after the timeout.</summary>
    public IReadOnlyList<LoggedFrame> WaitForFrames(int count, double seconds = 10)
    {
        var until = DateTime.UtcNow.AddSeconds(seconds);
        while (true)
        {
            var frames = Frames;
            if (frames.Count >= count || DateTime.UtcNow > until)
            {
                return frames;
            }
            Thread.Sleep(20);
        }
    }

    public void Signal(int signal)
    {
        if (kill(_process.Id, signal) != 0)
        {
            throw new InvalidOperationException($"kill({_process.Id}, {signal}) failed: errno {Marshal.GetLastWin32Error()}");
        }
    }

    public const int SIGCONT = 18;
    public const int SIGSTOP = 19;

    /// <summary>Ends the simulator: its side of the pty closes, as when a cable is pulled.</summary>
    public void Stop()
    {
        if (!_process.HasExited)
        {
            Signal(SIGCONT);
            _process.Kill();
            _process.WaitForExit();
        }
    }

    public void Dispose()
    {
        Stop();
        _process.Dispose();
    }

    [DllImport("libc", SetLastError = true)]
    private static extern int kill(int pid, int sig);
}
