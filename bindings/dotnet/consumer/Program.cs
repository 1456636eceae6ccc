// Usage: Consumer PORT. Moves, reads one upload, shows a refusal, and exits 0.
using System;
using Kinetra;

if (args.Length != 1)
{
    Console.Error.WriteLine("usage: Consumer PORT");
    return 2;
}
using (var platform = new Platform(args[0], limits: new Limits(1000, -1000, 1000, -1000, 1000, -1000)))
{
    platform.MoveX(250, 1, 2);
    platform.MoveRelative(new Motion(10), new Motion(-20), new Motion(30));
    var upload = platform.ReadUpload(fresh: true);
    Console.WriteLine($"upload: {upload}");
    try
    {
        platform.MoveY(1001);
    }
    catch (LimitException e)
    {
        Console.WriteLine($"refused: {e.Axis} {e.NativeMessage}");
    }
}
Console.WriteLine("consumer: done");
return 0;
