// A .NET Framework-style host under Mono: the packaged Kinetra.Net.dll and
// libKinetra.so beside this program, driving kinetra-sim on the port given.
// Usage: mono Smoke.exe PORT
using System;
using System.Collections.Generic;
using Kinetra;

internal static class Smoke
{
    private static int _passed;
    private static readonly List<string> Failures = new List<string>();

    private static void Check(string what, Func<bool> test)
    {
        bool ok;
        string detail = "";
        try
        {
            ok = test();
        }
        catch (Exception e)
        {
            ok = false;
            detail = ": " + e.GetType().Name + ": " + e.Message;
        }
        if (ok)
        {
            ++_passed;
            Console.WriteLine("ok   " + what);
        }
        else
        {
            Failures.Add(what);
            Console.WriteLine("FAIL " + what + detail);
        }
    }

    private static T Catch<T>(Action action) where T : Exception
    {
        try
        {
            action();
        }
        catch (T e)
        {
            return e;
        }
        return null;
    }

    private static int Main(string[] args)
    {
        if (args.Length != 1)
        {
            Console.Error.WriteLine("usage: mono Smoke.exe PORT");
            return 2;
        }
        string port = args[0];
        Console.WriteLine("runtime: " + Type.GetType("Mono.Runtime") + " " + Environment.Version);

        var p = new Platform(port, 0x01, new Limits(2000, -2000, 2000, -2000, 2000, -2000));
        Check("MoveX sends", () => { p.MoveX(1500, 7, 8); return true; });
        Check("MoveAbsolute sends", () =>
        {
            p.MoveAbsolute(new Motion(100, 1, 2), new Motion(-200), new Motion(300, 0, 9));
            return true;
        });
        Check("a refused move throws LimitException(Z) with its Chinese text", () =>
        {
            var e = Catch<LimitException>(() => p.MoveZ(2001));
            return e != null && e.Axis == Axis.Z && e.NativeMessage == "Z轴超出限位" && e.Code == -6
                   && p.LastError == "Z轴超出限位";
        });
        Check("ReadUpload returns 13 bytes whose fields match", () =>
        {
            Upload u = p.ReadUpload(fresh: true);
            return u.Raw.Count == 13 && u.Raw[0] == u.Byte0 && u.Tail.Count == 6
                   && (short)(u.Raw[1] | u.Raw[2] << 8) == u.Word1;
        });
        p.Dispose();
        Check("use after Dispose throws ObjectDisposedException", () =>
            Catch<ObjectDisposedException>(() => p.MoveY(1)) != null);
        Check("the port is free again after Dispose", () =>
        {
            using (var again = new Platform(port))
            {
                again.MoveY(-5);
            }
            return true;
        });
        Check("a missing port throws PortOpenException with errno 2", () =>
        {
            var e = Catch<PortOpenException>(() => new Platform("/dev/kinetra-no-such-port"));
            return e != null && e.ErrorCode == 2 && e.OsMessage.Length > 0;
        });

        Console.WriteLine("mono: {0} passed, {1} failed", _passed, Failures.Count);
        return Failures.Count == 0 ? 0 : 1;
    }
}
