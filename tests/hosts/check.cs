// check.c's calls through the page's C# declarations (Marlune.cs).
using System;
using System.Runtime.InteropServices;
using System.Text;

static class Check
{
    static readonly string[] Fields = {
        "size", "status", "system_error", "reserved", "cut_offset", "cut_size", "cut_missing", "chunk_number",
        "magic", "length_mode", "data_offset", "header_bytes", "source_bytes", "chunks", "payload_bytes",
        "length_fields_set", "bytes_written" };
    static readonly string[] OptionFields = { "size", "replace", "placement", "durability", "progress", "progress_context", "salvage", "reserved" };

    static void Layout(string name, Type type, string[] fields)
    {
        Console.WriteLine(name + " " + Marshal.SizeOf(type));
        for (int i = 0; i < fields.Length; i++)
        {
            int offset = Marshal.OffsetOf(type, fields[i]).ToInt32();
            int end = i + 1 < fields.Length ? Marshal.OffsetOf(type, fields[i + 1]).ToInt32() : Marshal.SizeOf(type);
            Console.WriteLine(name + "." + fields[i] + " " + offset + " " + (end - offset));
        }
    }

    static void Show(MarluneReport r)
    {
        var line = new StringBuilder("report:");
        foreach (string field in Fields)
        {
            object value = typeof(MarluneReport).GetField(field).GetValue(r);
            if (field == "magic") value = BitConverter.ToString((byte[])value).Replace("-", "").ToLowerInvariant();
            line.Append(" " + field + "=" + value);
        }
        Console.WriteLine(line);
    }

    // A report the library must overwrite everywhere.
    static MarluneReport Fresh()
    {
        MarluneReport r = MarluneReport.Create();
        r.status = r.system_error = 0x5a5a5a5a;
        r.reserved = 0x5a5a5a5a;
        r.cut_offset = r.cut_size = r.cut_missing = r.chunk_number = 0x5a5a5a5a5a5a5a5a;
        r.magic = new byte[] { 0x5a, 0x5a, 0x5a, 0x5a };
        r.length_mode = 0x5a5a5a5a;
        r.data_offset = r.header_bytes = 0x5a5a5a5a;
        r.source_bytes = r.chunks = r.payload_bytes = r.length_fields_set = r.bytes_written = 0x5a5a5a5a5a5a5a5a;
        return r;
    }

    static int calls;
    static ulong lastDone, lastTotal;
    static bool contextSame;

    static int Main()
    {
        Layout("marlune_report", typeof(MarluneReport), Fields);
        Layout("marlune_options", typeof(MarluneOptions), OptionFields);
        Console.WriteLine("version " + Marlune.Version());
        Console.WriteLine("text 51 " + Marlune.StatusText(51));
        Console.WriteLine("text 12345 " + Marlune.StatusText(12345));
        Console.WriteLine("name " + Marlune.MARLUNE_PAYLOAD_CUT + " " + Marlune.StatusName(Marlune.MARLUNE_PAYLOAD_CUT));
        Console.WriteLine("name " + Marlune.MARLUNE_OUT_OF_MEMORY + " " + Marlune.StatusName(Marlune.MARLUNE_OUT_OF_MEMORY));
        Console.WriteLine("name 12345 " + Marlune.StatusName(12345));

        MarluneReport r = Fresh();
        Console.WriteLine("examine good: " + Marlune.marlune_examine("good.snd", ref r));
        Show(r);
        r = Fresh();
        Console.WriteLine("examine cut: " + Marlune.marlune_examine("cut.snd", ref r));
        Show(r);

        IntPtr marker = new IntPtr(0x1234);
        MarluneProgress count = (done, total, context) => {
            calls++; lastDone = done; lastTotal = total; contextSame = context == marker;
            return 0;
        };
        MarluneOptions o = MarluneOptions.Create();
        o.placement = 1;
        o.durability = 1;
        o.progress = count;
        o.progress_context = marker;
        r = Fresh();
        Console.WriteLine("copy good out.kv: " + Marlune.marlune_copy("good.snd", "out.kv", ref o, ref r));
        Show(r);
        Console.WriteLine("progress: calls=" + (calls > 0 ? "some" : "none") + " last=" + lastDone + "/" + lastTotal
            + " context=" + (contextSame ? "same" : "other"));
        GC.KeepAlive(count);

        o = MarluneOptions.Create();
        o.replace = 0;
        r = Fresh();
        Console.WriteLine("copy good out.kv kept: " + Marlune.marlune_copy("good.snd", "out.kv", ref o, ref r));
        Show(r);

        int cancelCalls = 0;
        MarluneProgress cancel = (done, total, context) => { cancelCalls++; return 1; };
        o = MarluneOptions.Create();
        o.progress = cancel;
        r = Fresh();
        int status = Marlune.marlune_copy("good.snd", "cancel.kv", ref o, ref r);
        Console.WriteLine("copy good cancel.kv: " + status + " calls=" + cancelCalls);
        Show(r);
        GC.KeepAlive(cancel);

        MarluneReport ignored = MarluneReport.Create();
        Console.WriteLine("copy utf-8: " + Marlune.marlune_copy("n\u00e4me-\u20ac.snd", "n\u00e4me-\u20ac.kv",
            IntPtr.Zero, ref ignored));
        r = Fresh();
        Console.WriteLine("convert take: " + Marlune.marlune_convert("take.snd", IntPtr.Zero, ref r));
        Show(r);
        Console.WriteLine("convert take.kv: " + Marlune.marlune_convert("take.kv", IntPtr.Zero, ref ignored));

        int show = 0;
        Console.WriteLine("KVRBinfo good old.kv: " + Marlune.KVRBinfo("good.snd", "old.kv", 0));
        Console.WriteLine("KVRBinfo cut old-cut.kv: " + Marlune.KVRBinfo("cut.snd", "old-cut.kv", 0));
        Console.WriteLine("IKVRBinfo null old.snd: " + Marlune.IKVRBinfo(0, IntPtr.Zero, "old.snd"));
        Console.WriteLine("IKVRBinfo 0 cut.snd: " + Marlune.IKVRBinfo(0, ref show, "cut.snd"));
        return 0;
    }
}
