// Screenshots of kestrel-report for the README: the page after it read a folder, and the
// command's report.html.
//
//   node screenshots.mjs PAGE FOLDER REPORT_HTML OUT_DIR
//
// Writes OUT_DIR/report-page.png (the page, its bar and the top of the report) and
// OUT_DIR/report.png (the report down to the first day's charts).
import {join, resolve} from 'node:path';
import {pathToFileURL} from 'node:url';

import {open_browser} from './chromium.mjs';

async function main() {
  const [page_path, folder, report_html, out] = process.argv.slice(2);
  if (!out) {
    console.error('usage: node screenshots.mjs PAGE FOLDER REPORT_HTML OUT_DIR');
    process.exit(2);
  }
  const browser = await open_browser({width: 1100, height: 1000});
  try {
    const {page} = browser;
    await page.goto(pathToFileURL(resolve(page_path)).href);
    await page.setInputFiles('#pick', resolve(folder));
    await page.waitForSelector('body[data-state="done"]', {state: 'attached', timeout: 120000});
    await page.frameLocator('#report').locator('dl.facts').waitFor();
    await page.screenshot({path: join(out, 'report-page.png')});

    await page.setViewportSize({width: 1100, height: 1900});
    await page.goto(pathToFileURL(resolve(report_html)).href);
    await page.screenshot({path: join(out, 'report.png')});
  } finally {
    await browser.close();
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
