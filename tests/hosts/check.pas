{ check.c's calls through the page's Pascal unit (marlune.pas). }
program Check;

{$MODE OBJFPC}{$H+}

uses Marlune;

var
  r: TMarluneReport;
  o: TMarluneOptions;
  status, showErrors: Int32;
  calls, cancelCalls: Integer;
  lastDone, lastTotal: UInt64;
  contextSame: Boolean;
  marker: Integer;

procedure Field(const struct, name: string; var whole; var member; size: Integer);
begin
  WriteLn(struct, '.', name, ' ', PtrUInt(@member) - PtrUInt(@whole), ' ', size);
end;

procedure Layout;
var report: TMarluneReport; options: TMarluneOptions;
begin
  WriteLn('marlune_report ', SizeOf(report));
  Field('marlune_report', 'size', report, report.size, SizeOf(report.size));
  Field('marlune_report', 'status', report, report.status, SizeOf(report.status));
  Field('marlune_report', 'system_error', report, report.system_error, SizeOf(report.system_error));
  Field('marlune_report', 'reserved', report, report.reserved, SizeOf(report.reserved));
  Field('marlune_report', 'cut_offset', report, report.cut_offset, SizeOf(report.cut_offset));
  Field('marlune_report', 'cut_size', report, report.cut_size, SizeOf(report.cut_size));
  Field('marlune_report', 'cut_missing', report, report.cut_missing, SizeOf(report.cut_missing));
  Field('marlune_report', 'chunk_number', report, report.chunk_number, SizeOf(report.chunk_number));
  Field('marlune_report', 'magic', report, report.magic, SizeOf(report.magic));
  Field('marlune_report', 'length_mode', report, report.length_mode, SizeOf(report.length_mode));
  Field('marlune_report', 'data_offset', report, report.data_offset, SizeOf(report.data_offset));
  Field('marlune_report', 'header_bytes', report, report.header_bytes, SizeOf(report.header_bytes));
  Field('marlune_report', 'source_bytes', report, report.source_bytes, SizeOf(report.source_bytes));
  Field('marlune_report', 'chunks', report, report.chunks, SizeOf(report.chunks));
  Field('marlune_report', 'payload_bytes', report, report.payload_bytes, SizeOf(report.payload_bytes));
  Field('marlune_report', 'length_fields_set', report, report.length_fields_set, SizeOf(report.length_fields_set));
  Field('marlune_report', 'bytes_written', report, report.bytes_written, SizeOf(report.bytes_written));
  WriteLn('marlune_options ', SizeOf(options));
  Field('marlune_options', 'size', options, options.size, SizeOf(options.size));
  Field('marlune_options', 'replace', options, options.replace, SizeOf(options.replace));
  Field('marlune_options', 'placement', options, options.placement, SizeOf(options.placement));
  Field('marlune_options', 'durability', options, options.durability, SizeOf(options.durability));
  Field('marlune_options', 'progress', options, options.progress, SizeOf(options.progress));
  Field('marlune_options', 'progress_context', options, options.progress_context, SizeOf(options.progress_context));
  Field('marlune_options', 'salvage', options, options.salvage, SizeOf(options.salvage));
  Field('marlune_options', 'reserved', options, options.reserved, SizeOf(options.reserved));
end;

function Hex(b: Byte): string;
const digits = '0123456789abcdef';
begin
  Result := digits[b shr 4 + 1] + digits[b and 15 + 1];
end;

procedure Show(const r: TMarluneReport);
begin
  WriteLn('report: size=', r.size, ' status=', r.status, ' system_error=', r.system_error,
    ' reserved=', r.reserved, ' cut_offset=', r.cut_offset, ' cut_size=', r.cut_size,
    ' cut_missing=', r.cut_missing, ' chunk_number=', r.chunk_number,
    ' magic=', Hex(r.magic[0]), Hex(r.magic[1]), Hex(r.magic[2]), Hex(r.magic[3]),
    ' length_mode=', r.length_mode, ' data_offset=', r.data_offset, ' header_bytes=', r.header_bytes,
    ' source_bytes=', r.source_bytes, ' chunks=', r.chunks, ' payload_bytes=', r.payload_bytes,
    ' length_fields_set=', r.length_fields_set, ' bytes_written=', r.bytes_written);
end;

{ A report the library must overwrite everywhere. }
function Fresh: TMarluneReport;
begin
  FillChar(Result, SizeOf(Result), $5A);
  Result.size := SizeOf(Result);
end;

function Count(done, total: UInt64; context: Pointer): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF};
begin
  Inc(calls);
  lastDone := done;
  lastTotal := total;
  contextSame := context = @marker;
  Result := 0;
end;

function Cancel(done, total: UInt64; context: Pointer): Int32; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF};
begin
  Inc(cancelCalls);
  Result := 1;
end;

const
  Utf8Name = 'n'#$C3#$A4'me-'#$E2#$82#$AC;
{$IFDEF MSWINDOWS}
  WideName: UnicodeString = 'w'#$00E4'de-'#$20AC;
{$ENDIF}

begin
  Layout;
  WriteLn('version ', marlune_version);
  WriteLn('text 51 ', marlune_status_text(51));
  WriteLn('text 12345 ', marlune_status_text(12345));
  WriteLn('name ', MARLUNE_PAYLOAD_CUT, ' ', marlune_status_name(MARLUNE_PAYLOAD_CUT));
  WriteLn('name ', MARLUNE_OUT_OF_MEMORY, ' ', marlune_status_name(MARLUNE_OUT_OF_MEMORY));
  WriteLn('name 12345 ', marlune_status_name(12345));

  r := Fresh;
  WriteLn('examine good: ', marlune_examine('good.snd', @r));
  Show(r);
  r := Fresh;
  WriteLn('examine cut: ', marlune_examine('cut.snd', @r));
  Show(r);

  o := MarluneOptions;
  o.placement := MARLUNE_IN_PLACE;
  o.durability := MARLUNE_DURABLE_DATA;
  o.progress := @Count;
  o.progress_context := @marker;
  r := Fresh;
  WriteLn('copy good out.kv: ', marlune_copy('good.snd', 'out.kv', @o, @r));
  Show(r);
  if calls > 0 then Write('progress: calls=some') else Write('progress: calls=none');
  Write(' last=', lastDone, '/', lastTotal);
  if contextSame then WriteLn(' context=same') else WriteLn(' context=other');

  o := MarluneOptions;
  o.replace := 0;
  r := Fresh;
  WriteLn('copy good out.kv kept: ', marlune_copy('good.snd', 'out.kv', @o, @r));
  Show(r);

  o := MarluneOptions;
  o.progress := @Cancel;
  r := Fresh;
  status := marlune_copy('good.snd', 'cancel.kv', @o, @r);
  WriteLn('copy good cancel.kv: ', status, ' calls=', cancelCalls);
  Show(r);

  WriteLn('copy utf-8: ', marlune_copy(Utf8Name + '.snd', Utf8Name + '.kv', nil, nil));
  r := Fresh;
  WriteLn('convert take: ', marlune_convert('take.snd', nil, @r));
  Show(r);
  WriteLn('convert take.kv: ', marlune_convert('take.kv', nil, nil));

  showErrors := 0;
  WriteLn('KVRBinfo good old.kv: ', KVRBinfo('good.snd', 'old.kv', 0));
  WriteLn('KVRBinfo cut old-cut.kv: ', KVRBinfo('cut.snd', 'old-cut.kv', 0));
  WriteLn('IKVRBinfo null old.snd: ', IKVRBinfo(0, nil, 'old.snd'));
  WriteLn('IKVRBinfo 0 cut.snd: ', IKVRBinfo(0, @showErrors, 'cut.snd'));

{$IFDEF MSWINDOWS}
  r := Fresh;
  WriteLn('copy_w: ', marlune_copy_w(PWideChar(WideName + '.snd'), PWideChar(WideName + '.kv'), nil, @r));
  Show(r);
  r := Fresh;
  WriteLn('examine_w cut: ', marlune_examine_w('cut.snd', @r));
  Show(r);
  WriteLn('convert_w: ', marlune_convert_w(PWideChar(WideName + '.kv'), nil, nil));
  WriteLn('convert_w take2: ', marlune_convert_w('take2.snd', nil, nil));
{$ENDIF}
end.
