// Starting headless Chromium for the page tests, and serving the built page.
import puppeteer from 'puppeteer-core';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { serve } from '../serve.mjs';

export const kSite = process.env.VELMORIN_SITE || new URL('../../build-web/site', import.meta.url).pathname;

// A browser with a fresh profile, kept off the network; audio starts without
// a gesture only where a test says so.
export async function openBrowser({ autoplay = false } = {}) {
  const profile = mkdtempSync(join(tmpdir(), 'velmorin-chromium-'));
  const args = [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    `--user-data-dir=${profile}`,
  ];
  if (autoplay) args.push('--autoplay-policy=no-user-gesture-required');
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args,
    defaultViewport: { width: 1320, height: 1040 },
  });
  const close = async () => {
    await browser.close();
    rmSync(profile, { recursive: true, force: true });
  };
  return { browser, close };
}

export async function serveSite() {
  const server = await serve(kSite, 0);
  return { server, url: `http://127.0.0.1:${server.address().port}/` };
}

// Collects what reaches the console as an error, and uncaught exceptions.
export function watchErrors(page) {
  const errors = [];
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  page.on('pageerror', (e) => errors.push(String(e)));
  page.on('requestfailed', (r) => errors.push(`request failed: ${r.url()}`));
  return errors;
}

// The canvas as grey levels (red channel), width x height.
export async function canvasGrey(page) {
  return page.evaluate(() => {
    const c = document.getElementById('screen');
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    const out = new Array(c.width * c.height);
    for (let i = 0; i < out.length; ++i) out[i] = d[i * 4];
    return { width: c.width, height: c.height, grey: out };
  });
}
