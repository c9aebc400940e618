// check.c's calls through the page's koffi declarations (marlune.js).
const m = require('./marlune.js');
const { koffi } = m;

const fields = ['size', 'status', 'system_error', 'reserved', 'cut_offset', 'cut_size', 'cut_missing', 'chunk_number',
  'magic', 'length_mode', 'data_offset', 'header_bytes', 'source_bytes', 'chunks', 'payload_bytes',
  'length_fields_set', 'bytes_written'];
const optionFields = ['size', 'replace', 'placement', 'durability', 'progress', 'progress_context', 'salvage', 'reserved'];

function layout(name, type, names) {
  console.log(`${name} ${koffi.sizeof(type)}`);
  names.forEach((field, i) => {
    const offset = koffi.offsetof(type, field);
    const end = i + 1 < names.length ? koffi.offsetof(type, names[i + 1]) : koffi.sizeof(type);
    console.log(`${name}.${field} ${offset} ${end - offset}`);
  });
}

function show(r) {
  const values = fields.map((f) => `${f}=${f === 'magic' ? Buffer.from(r.magic).toString('hex') : r[f]}`);
  console.log('report: ' + values.join(' '));
}

// A report the library must overwrite everywhere.
function fresh() {
  const r = m.report();
  for (const f of fields.slice(1)) r[f] = f === 'magic' ? [0x5a, 0x5a, 0x5a, 0x5a] : 0x5a5a5a5a;
  return r;
}

layout('marlune_report', m.Report, fields);
layout('marlune_options', m.Options, optionFields);
console.log(`version ${m.marlune_version()}`);
console.log(`text 51 ${m.marlune_status_text(51)}`);
console.log(`text 12345 ${m.marlune_status_text(12345)}`);
console.log(`name ${m.MARLUNE_PAYLOAD_CUT} ${m.marlune_status_name(m.MARLUNE_PAYLOAD_CUT)}`);
console.log(`name ${m.MARLUNE_OUT_OF_MEMORY} ${m.marlune_status_name(m.MARLUNE_OUT_OF_MEMORY)}`);
console.log(`name 12345 ${m.marlune_status_name(12345)}`);

let r = fresh();
console.log(`examine good: ${m.marlune_examine('good.snd', r)}`);
show(r);
r = fresh();
console.log(`examine cut: ${m.marlune_examine('cut.snd', r)}`);
show(r);

let calls = 0, lastDone = 0, lastTotal = 0, contextSame = false;
const count = koffi.register((done, total, context) => {
  calls++; lastDone = done; lastTotal = total; contextSame = context === null;
  return 0;
}, koffi.pointer(m.Progress));
r = fresh();
console.log(`copy good out.kv: ${m.marlune_copy('good.snd', 'out.kv', m.options({ placement: 1, durability: 1, progress: count }), r)}`);
show(r);
console.log(`progress: calls=${calls ? 'some' : 'none'} last=${lastDone}/${lastTotal} context=${contextSame ? 'same' : 'other'}`);
koffi.unregister(count);

r = fresh();
console.log(`copy good out.kv kept: ${m.marlune_copy('good.snd', 'out.kv', m.options({ replace: 0 }), r)}`);
show(r);

let cancelCalls = 0;
const cancel = koffi.register(() => { cancelCalls++; return 1; }, koffi.pointer(m.Progress));
r = fresh();
const status = m.marlune_copy('good.snd', 'cancel.kv', m.options({ progress: cancel }), r);
console.log(`copy good cancel.kv: ${status} calls=${cancelCalls}`);
show(r);
koffi.unregister(cancel);

const name = 'n\u00e4me-\u20ac';
console.log(`copy utf-8: ${m.marlune_copy(name + '.snd', name + '.kv', null, null)}`);
r = fresh();
console.log(`convert take: ${m.marlune_convert('take.snd', null, r)}`);
show(r);
console.log(`convert take.kv: ${m.marlune_convert('take.kv', null, null)}`);

console.log(`KVRBinfo good old.kv: ${m.KVRBinfo('good.snd', 'old.kv', 0)}`);
console.log(`KVRBinfo cut old-cut.kv: ${m.KVRBinfo('cut.snd', 'old-cut.kv', 0)}`);
console.log(`IKVRBinfo null old.snd: ${m.IKVRBinfo(0, null, 'old.snd')}`);
console.log(`IKVRBinfo 0 cut.snd: ${m.IKVRBinfo(0, [0], 'cut.snd')}`);

if (process.platform === 'win32') {
  const wide = 'w\u00e4de-\u20ac';
  r = fresh();
  console.log(`copy_w: ${m.marlune_copy_w(wide + '.snd', wide + '.kv', null, r)}`);
  show(r);
  r = fresh();
  console.log(`examine_w cut: ${m.marlune_examine_w('cut.snd', r)}`);
  show(r);
  console.log(`convert_w: ${m.marlune_convert_w(wide + '.kv', null, null)}`);
  console.log(`convert_w take2: ${m.marlune_convert_w('take2.snd', null, null)}`);
}
