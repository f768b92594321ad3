// kestrel-report in the browser: the stick's folder is read here, file by file in slices,
// into the report's own C++ compiled to WebAssembly, which writes runs.csv, detections.csv
// and the report page exactly as the command does. Nothing leaves the computer.
//
// detections.csv is larger than the tagsheets (1.4 GB for a year of them), so it is not
// kept while the report is made: saving it reads the folder once more and keeps only it.
'use strict';

(() => {
  const slice_size = 4 << 20;  // bytes of a tagsheet handed over at a time
  const blob_size = 64 << 20;  // output gathered before it is handed to the browser's storage
  const outputs = ['runs.csv', 'detections.csv', 'report.html'];
  const errno_success = 0;
  const errno_bad_descriptor = 8;
  const errno_not_seekable = 70;

  const $ = (id) => document.getElementById(id);
  const encoder = new TextEncoder();
  const decoder = new TextDecoder();
  let module_promise = null;
  let busy = false;
  let urls = [];
  let chosen = null;  // the files of the report shown

  function wasm_module() {
    if (!module_promise) {
      const text = $('wasm').textContent.trim();
      const bytes = Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
      module_promise = WebAssembly.compile(bytes);
    }
    return module_promise;
  }

  class ExitCalled extends Error {}

  // One output file: copied out of the WebAssembly memory as it is written, gathered into
  // large pieces (the browser takes few large blobs much faster than many small ones) and
  // kept as blobs, which the browser may hold on disk.
  class Output {
    constructor(type) {
      this.type = type;
      this.blobs = [];
      this.buffer = null;
      this.used = 0;
    }
    add(bytes) {
      if (this.buffer && this.used + bytes.length > this.buffer.length) {
        this.flush();
      }
      if (!this.buffer) {
        // Small at first, so a small file takes little memory.
        this.size = Math.min(blob_size, 2 * (this.size || 1 << 19));
        this.buffer = new Uint8Array(Math.max(this.size, bytes.length));
      }
      this.buffer.set(bytes, this.used);
      this.used += bytes.length;
    }
    flush() {
      if (this.used) {
        this.blobs.push(new Blob([this.buffer.subarray(0, this.used)]));
      }
      this.buffer = null;
      this.used = 0;
    }
    blob() {
      this.flush();
      return new Blob(this.blobs, {type: this.type});
    }
  }

  // One run of the report: a fresh instance of the module, its outputs and its messages.
  class Session {
    static async open(on_problem, keep) {
      const session = new Session(on_problem, keep);
      const instance = await WebAssembly.instantiate(await wasm_module(), session.imports());
      session.exports = instance.exports;
      session.exports._initialize();
      session.input = session.exports.input_buffer(slice_size);
      return session;
    }

    // on_problem: takes what the report writes on standard error; keep: for each output,
    // whether to keep it.
    constructor(on_problem, keep) {
      const types = ['text/csv', 'text/csv', 'text/html'];
      this.on_problem = on_problem;
      this.outputs = types.map((type, index) => keep[index] ? new Output(type) : null);
    }

    memory() {
      return new Uint8Array(this.exports.memory.buffer);
    }

    // The C library's few system calls: text on standard error goes to the page, on standard
    // output nowhere; there are no files.
    imports() {
      return {
        wasi_snapshot_preview1: {
          fd_write: (fd, iovs, count, written_at) => {
            const view = new DataView(this.exports.memory.buffer);
            let written = 0;
            for (let i = 0; i < count; i++) {
              const at = view.getUint32(iovs + 8 * i, true);
              const size = view.getUint32(iovs + 8 * i + 4, true);
              if (fd === 2) {
                this.on_problem(decoder.decode(this.memory().subarray(at, at + size)));
              }
              written += size;
            }
            view.setUint32(written_at, written, true);
            return fd === 1 || fd === 2 ? errno_success : errno_bad_descriptor;
          },
          fd_close: () => errno_bad_descriptor,
          fd_seek: () => errno_not_seekable,
          proc_exit: (code) => {
            throw new ExitCalled('the report stopped with status ' + code);
          },
        },
        env: {
          write_output: (stream, at, size) => {
            this.outputs[stream]?.add(this.memory().subarray(at, at + size));
          },
        },
      };
    }

    // Puts bytes into the input buffer; returns how many.
    put(bytes) {
      this.memory().set(bytes, this.input);
      return bytes.length;
    }

    put_text(text) {
      return this.put(encoder.encode(text).subarray(0, slice_size));
    }
  }

  // Every file the browser gives, with its path relative to the folder read.
  function chosen_files(file_list) {
    const files = [...file_list];
    const folder = files.length ? files[0].webkitRelativePath.split('/')[0] : '';
    const prefix = folder + '/';
    return {
      folder,
      files: files.map((file) => ({
        file,
        path: file.webkitRelativePath.startsWith(prefix) ?
          file.webkitRelativePath.slice(prefix.length) : file.name,
      })),
    };
  }

  function entry_call(entry, method) {
    return new Promise((resolve, reject) => entry[method](resolve, reject));
  }

  async function walk(entry, path, found) {
    if (entry.isFile) {
      found.push({file: await entry_call(entry, 'file'), path});
    } else if (entry.isDirectory) {
      const reader = entry.createReader();
      for (;;) {
        const batch = await entry_call(reader, 'readEntries');
        if (!batch.length) {
          break;
        }
        for (const child of batch) {
          await walk(child, path ? path + '/' + child.name : child.name, found);
        }
      }
    }
  }

  // A folder dropped on the page reads as if it had been chosen; several dropped items
  // read as the folder that holds them.
  async function dropped_files(entries) {
    const found = [];
    if (entries.length === 1 && entries[0].isDirectory) {
      await walk(entries[0], '', found);
      return {folder: entries[0].name, files: found};
    }
    for (const entry of entries) {
      await walk(entry, entry.name, found);
    }
    return {folder: '', files: found};
  }

  function show_status(text, is_error) {
    $('status').textContent = text;
    $('status').classList.toggle('error', !!is_error);
  }

  function number(value) {
    return value.toLocaleString('en');
  }

  // Feeds one tagsheet, reading the next slice while the report takes the one before.
  async function read_tagsheet(session, file, on_bytes) {
    const read = (at) => file.slice(at, at + slice_size).arrayBuffer();
    let next = file.size > 0 ? read(0) : null;
    for (let at = 0; next; at += slice_size) {
      const bytes = new Uint8Array(await next);
      next = at + slice_size < file.size ? read(at + slice_size) : null;
      session.exports.feed(session.put(bytes));
      on_bytes(bytes.length);
    }
  }

  // Reads the tagsheets into a new instance of the report; keep names the outputs to keep.
  async function make_report({folder, files}, keep) {
    const skipped = [];
    const session = await Session.open((text) => skipped.push(text),
                                       outputs.map((name) => keep.includes(name)));
    files.forEach(({path}, index) => session.exports.add_file(index, session.put_text(path)));
    const count = session.exports.order_files();
    if (count === 0) {
      throw new Error(files.length ? 'No tagsheets (Non-Tag-*.txt) in ' + (folder || 'these files') :
                                     'The folder holds no files.');
    }
    const order = Array.from({length: count}, (_, position) => files[session.exports.file_at(position)]);
    const total = order.reduce((sum, {file}) => sum + file.size, 0);
    let done = 0;
    $('progress').max = total || 1;
    session.exports.begin(session.put_text(folder), Date.now() / 1000);
    for (const [position, {file}] of order.entries()) {
      session.exports.begin_file(position);
      try {
        await read_tagsheet(session, file, (size) => {
          done += size;
          $('progress').value = done;
        });
      } catch (error) {
        session.exports.file_failed(session.put_text('cannot read: ' + error.message));
      }
      session.exports.end_file();
      show_status('Reading ' + number(position + 1) + ' of ' + number(count) + ' tagsheets, ' +
                  number(session.exports.detections()) + ' detections');
    }
    session.exports.finish();
    return {
      count,
      skipped: skipped.join(''),
      blobs: session.outputs.map((output) => output?.blob()),
      memory: session.exports.memory.buffer.byteLength,
    };
  }

  function save_link(name) {
    return $('save-' + name.replace('.', '-'));
  }

  function offer(name, blob) {
    const url = URL.createObjectURL(blob);
    urls.push(url);
    save_link(name).href = url;
    save_link(name).dataset.ready = 'yes';
  }

  function show_report({count, skipped, blobs, memory}) {
    urls.forEach((url) => URL.revokeObjectURL(url));
    urls = [];
    outputs.forEach((name, index) => {
      save_link(name).removeAttribute('href');
      save_link(name).dataset.ready = 'no';
      if (blobs[index]) {
        offer(name, blobs[index]);
      }
    });
    $('report').src = save_link('report.html').href;
    $('report').hidden = false;
    $('intro').hidden = true;
    $('saves').hidden = false;
    $('skipped').hidden = !skipped;
    $('skipped-lines').textContent = skipped;
    show_status(number(count) + ' tagsheets read.');
    document.body.dataset.wasmMemory = memory;
    document.body.dataset.state = 'done';
  }

  // Runs one job at a time with the progress bar shown; a failure is shown in the bar.
  async function job(state, work) {
    if (busy) {
      return;
    }
    busy = true;
    document.body.dataset.state = state;
    $('progress').hidden = false;
    $('progress').removeAttribute('value');
    try {
      await work();
    } catch (error) {
      show_status(error instanceof ExitCalled || error instanceof WebAssembly.RuntimeError ?
                    'The report failed: ' + error.message : error.message,
                  true);
      document.body.dataset.state = 'failed';
    } finally {
      $('progress').hidden = true;
      busy = false;
    }
  }

  function run(read_files) {
    return job('reading', async () => {
      show_status('Reading the folder…');
      const selection = await read_files();
      show_report(await make_report(selection, ['runs.csv', 'report.html']));
      chosen = selection;
    });
  }

  // The first click on the button makes detections.csv, then saves it.
  save_link('detections.csv').addEventListener('click', (event) => {
    const link = event.currentTarget;
    if (link.dataset.ready === 'yes') {
      return;
    }
    event.preventDefault();
    job('saving', async () => {
      const {blobs} = await make_report(chosen, ['detections.csv']);
      offer('detections.csv', blobs[1]);
      show_status('detections.csv is ready.');
      document.body.dataset.state = 'done';
      link.click();
    });
  });

  $('pick').addEventListener('change', (event) => {
    const file_list = event.target.files;
    run(async () => chosen_files(file_list)).then(() => {
      event.target.value = '';
    });
  });

  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    document.body.classList.add('dropping');
  });
  document.addEventListener('dragleave', () => document.body.classList.remove('dropping'));
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    document.body.classList.remove('dropping');
    // The entries must be taken while the event lasts; they are read afterwards.
    const entries = [...event.dataTransfer.items]
                      .map((item) => item.webkitGetAsEntry && item.webkitGetAsEntry())
                      .filter(Boolean);
    run(() => dropped_files(entries));
  });

  wasm_module().catch((error) => show_status('This browser cannot run the report: ' + error, true));
})();
