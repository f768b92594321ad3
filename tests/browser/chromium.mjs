// Debian's Chromium, headless, driven through the DevTools protocol by playwright-core, with
// a fresh profile that is removed again when the browser closes.
import {mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';

import {chromium} from 'playwright-core';

export const chromium_path = process.env.KESTREL_CHROMIUM || '/usr/bin/chromium';

const flags = [
  '--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];

// Returns {context, page, close}; close() ends the browser and removes its profile.
export async function open_browser({width = 1100, height = 900} = {}) {
  const profile = mkdtempSync(join(tmpdir(), 'kestrel-chromium-'));
  let context;
  try {
    context = await chromium.launchPersistentContext(profile, {
      executablePath: chromium_path,
      headless: true,
      args: flags,
      acceptDownloads: true,
      viewport: {width, height},
    });
  } catch (error) {
    rmSync(profile, {recursive: true, force: true});
    throw error;
  }
  const page = context.pages()[0] || await context.newPage();
  return {
    context,
    page,
    profile,
    close: async () => {
      await context.close();
      rmSync(profile, {recursive: true, force: true});
    },
  };
}
