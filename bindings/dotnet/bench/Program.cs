// CPU per move through Platform.MoveX against the C library's own loop, both on
// this thread, in this process, on pseudo-terminals of the same kind, in
// alternating blocks. See bindings/dotnet/README.md.
//
// Usage: Kinetra.Net.Bench [--repetitions 15] [--moves 16384] [--block 64]
//                          [--quick] [--report docs/performance.md] [--json FILE]
//                          [--kinetra-bench build/release/bench/kinetra-bench]
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.Json;
using System.Threading;
using Kinetra;

internal static class Bench
{
    private const string Shim = "kinetra_dotnet_bench";
    private static readonly byte[] Frame = Convert.FromHexString("010106A1E803C8003200649A");

    [DllImport(Shim)] private static extern long kb_thread_cpu_ns();
    [DllImport(Shim)] private static extern int kb_c_moves(IntPtr handle, int n);
    [DllImport(Shim)] private static extern IntPtr kb_pty_open(byte[] path, int len);
    [DllImport(Shim)] private static extern int kb_pty_first(IntPtr pty, byte[] into, int len);
    [DllImport(Shim)] private static extern void kb_pty_close(IntPtr pty);

    // The raw import a user without the wrapper writes (README's listing).
    [DllImport("Kinetra", CallingConvention = CallingConvention.Cdecl)]
    private static extern IntPtr axis_init([MarshalAs(UnmanagedType.LPStr)] string port, byte head, IntPtr noLimits);
    [DllImport("Kinetra", CallingConvention = CallingConvention.Cdecl)]
    private static extern void axis_close(IntPtr handle);
    [DllImport("Kinetra", CallingConvention = CallingConvention.Cdecl)]
    private static extern int axis_x_move(IntPtr handle, short target, ushort aux1, ushort aux2);

    private sealed class Pty : IDisposable
    {
        public Pty()
        {
            var path = new byte[256];
            Handle = kb_pty_open(path, path.Length);
            if (Handle == IntPtr.Zero)
            {
                throw new InvalidOperationException("cannot open a pseudo-terminal");
            }
            Path = Encoding.ASCII.GetString(path, 0, Array.IndexOf(path, (byte)0));
        }

        public IntPtr Handle { get; }
        public string Path { get; }

        public byte[] First(int n)
        {
            var into = new byte[n];
            var until = DateTime.UtcNow.AddSeconds(2);
            int got;
            while ((got = kb_pty_first(Handle, into, n)) < n && DateTime.UtcNow < until)
            {
                Thread.Sleep(10);
            }
            return into[..got];
        }

        public void Dispose() => kb_pty_close(Handle);
    }

    private static double Median(IEnumerable<double> values)
    {
        var v = values.OrderBy(x => x).ToArray();
        return v.Length % 2 == 1 ? v[v.Length / 2] : (v[v.Length / 2 - 1] + v[v.Length / 2]) / 2;
    }

    private static int Main(string[] args)
    {
        int repetitions = 15, moves = 16384, block = 64;
        string? report = null, json = null, kinetraBench = null;
        for (var i = 0; i < args.Length; ++i)
        {
            switch (args[i])
            {
                case "--repetitions": repetitions = int.Parse(args[++i]); break;
                case "--moves": moves = int.Parse(args[++i]); break;
                case "--block": block = int.Parse(args[++i]); break;
                case "--quick": repetitions = 3; moves = 512; break;
                case "--report": report = args[++i]; break;
                case "--json": json = args[++i]; break;
                case "--kinetra-bench": kinetraBench = args[++i]; break;
                default: Console.Error.WriteLine("unknown option " + args[i]); return 2;
            }
        }
        moves = Math.Max(block, moves / block * block);

        using var wrapped = new Pty();
        using var raw = new Pty();
        using var platform = new Platform(wrapped.Path);
        var handle = axis_init(raw.Path, 0x01, IntPtr.Zero);
        if (handle == IntPtr.Zero)
        {
            Console.Error.WriteLine("axis_init failed on " + raw.Path);
            return 1;
        }
        try
        {
            // Both must put the same bytes on the wire, or they are not comparable.
            platform.MoveX(1000, 200, 50);
            if (kb_c_moves(handle, 1) != 1)
            {
                throw new InvalidOperationException("the C loop's move did not write 12 bytes");
            }
            foreach (var (name, pty) in new[] { ("Platform.MoveX", wrapped), ("the C loop", raw) })
            {
                var got = pty.First(12);
                if (!got.SequenceEqual(Frame))
                {
                    Console.Error.WriteLine($"{name} sent {Convert.ToHexString(got)}, expected {Convert.ToHexString(Frame)}");
                    return 1;
                }
            }

            // Past tiered compilation's first tiers before anything is timed.
            for (var i = 0; i < 60_000; ++i)
            {
                platform.MoveX(1000, 200, 50);
                axis_x_move(handle, 1000, 200, 50);
            }
            Thread.Sleep(300);

            var kinds = new[] { "wrapper", "pinvoke", "c" };
            var perMove = kinds.ToDictionary(k => k, _ => new List<double>());
            var ratio = new List<double>();
            var ratioPinvoke = new List<double>();
            for (var r = 0; r < repetitions; ++r)
            {
                var total = kinds.ToDictionary(k => k, _ => 0L);
                for (var b = 0; b < moves / block; ++b)
                {
                    // Which one goes first rotates, so no kind always follows another.
                    for (var j = 0; j < kinds.Length; ++j)
                    {
                        var kind = kinds[(b + j) % kinds.Length];
                        long start = kb_thread_cpu_ns();
                        switch (kind)
                        {
                            case "wrapper":
                                for (var i = 0; i < block; ++i)
                                {
                                    platform.MoveX(1000, 200, 50);
                                }
                                break;
                            case "pinvoke":
                                for (var i = 0; i < block; ++i)
                                {
                                    if (axis_x_move(handle, 1000, 200, 50) != 12)
                                    {
                                        throw new InvalidOperationException("axis_x_move did not write 12 bytes");
                                    }
                                }
                                break;
                            default:
                                if (kb_c_moves(handle, block) != block)
                                {
                                    throw new InvalidOperationException("the C loop's moves did not write 12 bytes");
                                }
                                break;
                        }
                        total[kind] += kb_thread_cpu_ns() - start;
                    }
                }
                foreach (var k in kinds)
                {
                    perMove[k].Add((double)total[k] / moves);
                }
                ratio.Add((double)total["wrapper"] / total["c"]);
                ratioPinvoke.Add((double)total["pinvoke"] / total["c"]);
            }

            var result = new Dictionary<string, object>
            {
                ["kinetra_bench_cpu_ns"] = kinetraBench == null ? double.NaN : KinetraBenchMedian(kinetraBench, repetitions),
                ["date_utc"] = DateTime.UtcNow.ToString("yyyy-MM-dd HH:mm"),
                ["runtime"] = RuntimeInformation.FrameworkDescription,
                ["os"] = RuntimeInformation.OSDescription,
                ["processors"] = Environment.ProcessorCount,
                ["load_average"] = File.Exists("/proc/loadavg") ? File.ReadAllText("/proc/loadavg").Trim() : "",
                ["repetitions"] = repetitions,
                ["moves_per_repetition"] = moves,
                ["block"] = block,
                ["wrapper_cpu_ns"] = Median(perMove["wrapper"]),
                ["pinvoke_cpu_ns"] = Median(perMove["pinvoke"]),
                ["c_cpu_ns"] = Median(perMove["c"]),
                ["ratio"] = Median(ratio),
                ["ratio_min"] = ratio.Min(),
                ["ratio_max"] = ratio.Max(),
                ["ratio_pinvoke"] = Median(ratioPinvoke),
                ["goal"] = 2.0,
            };
            Console.WriteLine($"CPU per move, median of {repetitions} x {moves} moves of each, blocks of {block}:");
            Console.WriteLine($"  C library, C loop:           {result["c_cpu_ns"],8:F0} ns");
            Console.WriteLine($"  raw P/Invoke axis_x_move:    {result["pinvoke_cpu_ns"],8:F0} ns   {result["ratio_pinvoke"]:F3}x");
            Console.WriteLine($"  Kinetra.Net Platform.MoveX:  {result["wrapper_cpu_ns"],8:F0} ns   {result["ratio"]:F3}x " +
                              $"(min {result["ratio_min"]:F3}, max {result["ratio_max"]:F3}); goal <= 2: " +
                              ((double)result["ratio"] <= 2.0 ? "met" : "missed"));
            if (kinetraBench != null)
            {
                Console.WriteLine($"  for scale, kinetra-bench's BM_move_library: {result["kinetra_bench_cpu_ns"],8:F0} ns (its own process, after the above)");
            }
            if (json != null)
            {
                File.WriteAllText(json, JsonSerializer.Serialize(result, new JsonSerializerOptions { WriteIndented = true }) + "\n");
            }
            if (report != null)
            {
                WriteReport(report, result);
            }
            return 0;
        }
        finally
        {
            axis_close(handle);
        }
    }

    // The C library's figure as the main report measures it, for scale only: it runs
    // in another process after the blocks above, so it is no part of the ratio.
    private static double KinetraBenchMedian(string bench, int repetitions)
    {
        var start = new ProcessStartInfo(bench)
        {
            RedirectStandardOutput = true,
            UseShellExecute = false,
        };
        foreach (var a in new[] { "--benchmark_filter=^BM_move_library$", $"--benchmark_repetitions={Math.Max(3, repetitions / 3)}",
                                  "--benchmark_report_aggregates_only=true", "--benchmark_format=json" })
        {
            start.ArgumentList.Add(a);
        }
        using var p = Process.Start(start)!;
        var text = p.StandardOutput.ReadToEnd();
        p.WaitForExit();
        // Google Benchmark writes a counter's undefined spread as a bare NaN, which JSON lacks.
        text = System.Text.RegularExpressions.Regex.Replace(text, @":\s*-?(?:nan|NaN)\b", ": null");
        using var doc = JsonDocument.Parse(text);
        foreach (var b in doc.RootElement.GetProperty("benchmarks").EnumerateArray())
        {
            if (b.TryGetProperty("aggregate_name", out var agg) && agg.GetString() == "median")
            {
                double scale = b.GetProperty("time_unit").GetString() switch
                {
                    "ns" => 1, "us" => 1e3, "ms" => 1e6, _ => 1e9,
                };
                return b.GetProperty("cpu_time").GetDouble() * scale;
            }
        }
        throw new InvalidOperationException("no median of BM_move_library in kinetra-bench's output");
    }

    private const string Begin = "<!-- Kinetra.Net benchmark: written by bindings/dotnet/bench/run.sh --report -->";
    private const string End = "<!-- end of the Kinetra.Net benchmark -->";

    // Replaces this benchmark's section of the report, or adds it at the end.
    private static void WriteReport(string path, Dictionary<string, object> r)
    {
        double Ns(string k) => (double)r[k];
        var s = new StringBuilder();
        s.AppendLine(Begin);
        s.AppendLine("## Kinetra.Net (C#) against the C library");
        s.AppendLine();
        s.AppendLine("CPU time of the calling thread per single-axis move, `Platform.MoveX(1000, 200, 50)`");
        s.AppendLine("through the .NET wrapper (bindings/dotnet) against the C library's own loop of");
        s.AppendLine("`axis_x_move(h, 1000, 200, 50)` compiled in C, and the raw P/Invoke declaration of the");
        s.AppendLine("README's listing for comparison. All three run in one process on one thread, each on a");
        s.AppendLine("pseudo-terminal whose far end another thread drains, in alternating blocks of");
        s.AppendLine($"{r["block"]} moves, each block timed by the thread's CPU clock (`CLOCK_THREAD_CPUTIME_ID`,");
        s.AppendLine("user + system, so the `write()` itself is in it); the ratio is the median over the");
        s.AppendLine("repetitions of each repetition's ratio of totals. Both sides are first checked to put the");
        s.AppendLine("same 12 bytes on the wire. `bindings/dotnet/bench/run.sh --report docs/performance.md`");
        s.AppendLine("rewrites this section; `bench/make_report.py` writes the rest of the file and drops it.");
        s.AppendLine();
        s.AppendLine("| | |");
        s.AppendLine("|---|---|");
        s.AppendLine($"| Date (UTC) | {r["date_utc"]} |");
        s.AppendLine($"| Runtime | {r["runtime"]}, {r["os"]}, {r["processors"]} processors |");
        s.AppendLine($"| Load average | {r["load_average"]} (at the end of the run) |");
        s.AppendLine($"| Repetitions | {r["repetitions"]} of {r["moves_per_repetition"]} moves of each |");
        s.AppendLine("| Timer | the thread CPU clock around each block, not BenchmarkDotNet: it times wall-clock time by default, which a shared machine's load distorts more than the difference measured here |");
        s.AppendLine();
        s.AppendLine("| Path | CPU per move (median) | Against the C loop |");
        s.AppendLine("|---|---|---|");
        s.AppendLine($"| C library, C loop | {Ns("c_cpu_ns"):F0} ns | 1 |");
        s.AppendLine($"| raw P/Invoke `axis_x_move(IntPtr, ...)` | {Ns("pinvoke_cpu_ns"):F0} ns | {Ns("ratio_pinvoke"):F3} |");
        s.AppendLine($"| `Platform.MoveX` (lock, SafeHandle, result check) | {Ns("wrapper_cpu_ns"):F0} ns | **{Ns("ratio"):F3}** (min {Ns("ratio_min"):F3}, max {Ns("ratio_max"):F3}) |");
        if (!double.IsNaN(Ns("kinetra_bench_cpu_ns")))
        {
            s.AppendLine();
            s.AppendLine($"For scale: `kinetra-bench`'s `BM_move_library` (Google Benchmark, the same C call), run in");
            s.AppendLine($"its own process right after, gave {Ns("kinetra_bench_cpu_ns"):F0} ns per move. The figures per move vary");
            s.AppendLine("with the machine's load (see the load average); the ratio, taken within one thread in");
            s.AppendLine("alternating blocks, is what the goal judges.");
        }
        s.AppendLine();
        s.AppendLine($"Goal: at most 2x the C library per move. **{((double)r["ratio"] <= 2.0 ? "Met" : "Missed")}**.");
        s.AppendLine(End);

        var text = File.Exists(path) ? File.ReadAllText(path) : "";
        int a = text.IndexOf(Begin, StringComparison.Ordinal);
        int b = text.IndexOf(End, StringComparison.Ordinal);
        if (a >= 0 && b > a)
        {
            text = text[..a] + s.ToString().TrimEnd('\n') + text[(b + End.Length)..];
        }
        else
        {
            text = text.TrimEnd('\n') + "\n\n" + s;
        }
        File.WriteAllText(path, text);
    }
}
