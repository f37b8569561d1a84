// The same frames from both builds: each scene rendered natively by
// `velmorin --frames` and in the page through its hook, at the same show
// times and fades, frame after frame as a run would.
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { openBrowser, serveSite, watchErrors } from './browser.mjs';
import { installCompare, kIdentical, kScenes, nativeFrames } from './frames.mjs';

// The start order of each scene (-1: the title), as the timeline maps them.
const kStarts = [-1, 0, 4, 10, 14, 20, 24, 28];
const kMinPsnr = 40;

describe('a frame of the show, native and in the page', () => {
  let browser, close, server, url;
  before(async () => {
    ({ browser, close } = await openBrowser());
    ({ server, url } = await serveSite());
  });
  after(async () => {
    await close();
    server.close();
  });

  for (const [scene, start] of kStarts.entries()) {
    it(`${kScenes[scene]}: 2 s at 10 frames a second, white flash and fades included`, async () => {
      const frames = nativeFrames(start, 2, 10);
      assert.equal(frames.length, 20);
      assert.ok(frames.every((f) => f.scene === kScenes[scene]), 'the native run stays in one scene');
      const page = await browser.newPage();
      const errors = watchErrors(page);
      await page.goto(`${url}?hook`);
      await page.waitForFunction(() => window.velmorin && window.velmorin.ready, { timeout: 60000 });
      await installCompare(page);
      let identical = 0, worst = Infinity;
      for (const f of frames) {
        const r = await page.evaluate((s, f) => window.compareGrey(f.png, window.velmorin.hookFrame(s, f.seconds, f.fade)),
          scene, f);
        assert.ok(r.psnr >= kMinPsnr, `${kScenes[scene]} at ${f.seconds} s: PSNR ${r.psnr.toFixed(1)} dB`);
        if (r.identical) ++identical;
        worst = Math.min(worst, r.psnr);
      }
      await page.close();
      assert.deepEqual(errors, []);
      console.log(`# ${kScenes[scene]}: ${identical}/${frames.length} frames identical, lowest PSNR ${worst === kIdentical ? 'n/a' : worst.toFixed(1)} dB`);
    });
  }
});
