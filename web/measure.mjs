// Frames per second of each scene in headless Chromium, and the page's
// download sizes.  Not a test: numbers for the README and for comparing
// builds.  Needs the page built (scripts/web).
//   node measure.mjs [SECONDS per scene, 6]
import { readdirSync, readFileSync, statSync } from 'node:fs';
import { join } from 'node:path';
import { gzipSync } from 'node:zlib';
import { kSite, openBrowser, serveSite } from './tests/browser.mjs';
import { kScenes } from './tests/frames.mjs';

const seconds = Number(process.argv[2] || 6);
const kStarts = [-1, 0, 4, 10, 14, 20, 24, 28];  // the title, then each scene's first order

const { browser, close } = await openBrowser();
const { server, url } = await serveSite();
console.log(`scene        shown fps   draw ms (mean)   draw-only fps`);
for (const [scene, start] of kStarts.entries()) {
  const page = await browser.newPage();
  await page.goto(url + (start >= 0 ? `?order=${start}` : ''));
  await page.waitForFunction(() => window.velmorin && window.velmorin.ready, { timeout: 60000 });
  await page.click('#play');
  await page.waitForFunction((s) => window.velmorin.stats.scenes[s], { timeout: 20000 }, scene);
  // Measure from a second in, after the first frames' warm-up.
  await new Promise((r) => setTimeout(r, 1000));
  const a = await page.evaluate((s) => ({ ...window.velmorin.stats.scenes[s] }), scene);
  await new Promise((r) => setTimeout(r, seconds * 1000));
  const b = await page.evaluate((s) => ({ ...window.velmorin.stats.scenes[s] }), scene);
  const frames = b.frames - a.frames;
  const fps = frames / ((b.last - a.last) / 1000);
  const ms = (b.drawMs - a.drawMs) / frames;
  console.log(`${kScenes[scene].padEnd(12)} ${fps.toFixed(1).padStart(9)} ${ms.toFixed(2).padStart(16)} ${(1000 / ms).toFixed(0).padStart(15)}`);
  await page.close();
}
await close();
server.close();

console.log('\nfile                       bytes      gzip');
let total = 0, totalGz = 0;
for (const f of readdirSync(kSite).sort()) {
  if (f.endsWith('LICENSE')) continue;
  const bytes = statSync(join(kSite, f)).size, gz = gzipSync(readFileSync(join(kSite, f))).length;
  total += bytes;
  totalGz += gz;
  console.log(`${f.padEnd(24)} ${String(bytes).padStart(9)} ${String(gz).padStart(9)}`);
}
console.log(`${'all'.padEnd(24)} ${String(total).padStart(9)} ${String(totalGz).padStart(9)}`);
