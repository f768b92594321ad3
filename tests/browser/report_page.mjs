// Makes the report of a folder in kestrel-report.html as a person would: opens the page from
// file://, chooses the folder, waits for the report and saves runs.csv, detections.csv (which
// the page makes when asked) and report.html. Prints what the page shows as JSON, with the
// seconds until the report showed and until each file was saved.
//
//   node report_page.mjs PAGE FOLDER OUT [--measure]
//
// --measure samples the memory of Chromium's processes every 100 ms: the peak of their summed
// proportional set size (PSS) and the peak resident set of the largest one, while the report
// is made and while detections.csv is.
import {readdirSync, readFileSync} from 'node:fs';
import {join, resolve} from 'node:path';
import {pathToFileURL} from 'node:url';

import {open_browser} from './chromium.mjs';

const report_timeout = 30 * 60 * 1000;

function usage() {
  console.error('usage: node report_page.mjs PAGE FOLDER OUT [--measure]');
  process.exit(2);
}

// Every process below this one: the browser and all its helpers.
function descendants() {
  const parents = new Map();
  for (const name of readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) {
      continue;
    }
    try {
      const stat = readFileSync(`/proc/${name}/stat`, 'utf8');
      parents.set(Number(name), Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]));
    } catch {
      // gone meanwhile
    }
  }
  const found = [];
  for (const pid of parents.keys()) {
    for (let up = parents.get(pid); up; up = parents.get(up)) {
      if (up === process.pid) {
        found.push(pid);
        break;
      }
    }
  }
  return found;
}

function kilobytes(text, field) {
  const match = text.match(new RegExp('^' + field + ':\\s+(\\d+) kB', 'm'));
  return match ? Number(match[1]) : 0;
}

class MemorySampler {
  constructor() {
    this.peak_pss_kb = 0;
    this.peak_rss_kb = 0;
    this.timer = setInterval(() => this.sample(), 100);
  }
  sample() {
    let pss = 0;
    for (const pid of descendants()) {
      try {
        const rollup = readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8');
        pss += kilobytes(rollup, 'Pss');
        this.peak_rss_kb = Math.max(this.peak_rss_kb, kilobytes(rollup, 'Rss'));
      } catch {
        // gone meanwhile
      }
    }
    this.peak_pss_kb = Math.max(this.peak_pss_kb, pss);
  }
  stop() {
    clearInterval(this.timer);
    this.sample();
  }
}

async function main() {
  const args = process.argv.slice(2);
  const measure = args.includes('--measure');
  const [page_path, folder, out] = args.filter((arg) => arg !== '--measure');
  if (!out) {
    usage();
  }
  const browser = await open_browser();
  try {
    const {page} = browser;
    const console_errors = [];
    page.on('pageerror', (error) => console_errors.push(String(error)));
    await page.goto(pathToFileURL(resolve(page_path)).href);
    const sampler = measure ? new MemorySampler() : null;
    const started = Date.now();
    await page.setInputFiles('#pick', resolve(folder));
    await page.waitForSelector('body[data-state="done"], body[data-state="failed"]',
                               {state: 'attached', timeout: report_timeout});
    const seconds = (Date.now() - started) / 1000;
    sampler?.stop();
    const state = await page.getAttribute('body', 'data-state');
    const result = {
      state,
      status: await page.textContent('#status'),
      skipped: await page.textContent('#skipped-lines'),
      errors: console_errors,
      seconds,
      save_seconds: {},
    };
    if (sampler) {
      result.peak_pss_mb = sampler.peak_pss_kb / 1024;
      result.peak_rss_mb = sampler.peak_rss_kb / 1024;
    }
    if (state === 'done') {
      const report = page.frameLocator('#report');
      await report.locator('dl.facts').waitFor();
      result.facts = await report.locator('dl.facts').evaluate((list) =>
        [...list.querySelectorAll('dt')].map((term) => [term.textContent,
                                                         term.nextElementSibling.textContent]));
      result.wasm_memory_mb = Number(await page.getAttribute('body', 'data-wasm-memory')) / 2 ** 20;
      for (const name of ['runs.csv', 'detections.csv', 'report.html']) {
        const saving = measure && name === 'detections.csv' ? new MemorySampler() : null;
        const clicked = Date.now();
        const [download] = await Promise.all([
          page.waitForEvent('download', {timeout: report_timeout}),
          page.click('#save-' + name.replace('.', '-')),
        ]);
        result.save_seconds[name] = (Date.now() - clicked) / 1000;
        saving?.stop();
        if (saving) {
          result.save_peak_pss_mb = saving.peak_pss_kb / 1024;
          result.save_peak_rss_mb = saving.peak_rss_kb / 1024;
        }
        if (download.suggestedFilename() !== name) {
          throw new Error('saved as ' + download.suggestedFilename() + ', not ' + name);
        }
        await download.saveAs(join(out, name));
      }
      result.errors = console_errors;
    }
    console.log(JSON.stringify(result));
  } finally {
    await browser.close();
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
