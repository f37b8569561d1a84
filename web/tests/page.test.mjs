// The page as a person uses it, in headless Chromium: the title before any
// click, the play button, a start at an order, scenes that follow the music
// being heard, F1 and Escape, and a console free of errors.
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { cpSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { kSite, openBrowser, serveSite, watchErrors } from './browser.mjs';
import { serve } from '../serve.mjs';
import { installCompare, nativeFrames } from './frames.mjs';

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

describe('the page in a browser', () => {
  let browser, close, server, url;
  // Native pictures of three scenes; the canvas must be nearest the right one.
  const refs = {};
  before(async () => {
    ({ browser, close } = await openBrowser());
    ({ server, url } = await serveSite());
    refs.title = nativeFrames(-1, 4.1, 10)[40].png;  // fade-in over, plain title
    refs.valec3d = nativeFrames(14, 2.1, 10)[20].png;
    refs.hodiny = nativeFrames(20, 2.1, 10)[20].png;
  });
  after(async () => {
    await close();
    server.close();
  });

  async function open(query) {
    const page = await browser.newPage();
    const errors = watchErrors(page);
    await page.goto(url + query);
    await page.waitForFunction(() => window.velmorin && window.velmorin.ready, { timeout: 60000 });
    await installCompare(page);
    return { page, errors };
  }
  // The reference the canvas is nearest to, by PSNR.
  async function nearest(page) {
    const scores = await page.evaluate(async (refs) => {
      const c = document.getElementById('screen');
      const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      const grey = new Uint8Array(c.width * c.height);
      for (let i = 0; i < grey.length; ++i) grey[i] = d[i * 4];
      const out = {};
      for (const [name, png] of Object.entries(refs)) out[name] = (await window.compareGrey(png, grey)).psnr;
      return out;
    }, refs);
    return Object.entries(scores).sort((a, b) => b[1] - a[1])[0][0];
  }
  const state = (page) => page.evaluate(() => ({
    scene: window.velmorin.stats.scene,
    frames: window.velmorin.stats.frames,
    position: window.velmorin.position,
    playVisible: !document.getElementById('play').hidden,
    status: document.getElementById('status').textContent,
    overlay: document.getElementById('overlay').hidden ? null : document.getElementById('overlay').textContent,
  }));

  it('shows the title and a play button before any click, and plays nothing', async () => {
    const { page, errors } = await open('');
    await sleep(500);
    const s = await state(page);
    assert.equal(s.playVisible, true);
    assert.equal(s.frames, 0, 'no frame of the timeline before play');
    assert.equal(await nearest(page), 'title');
    // 1320 x 1040 holds the 640 x 480 screen twice over, not three times.
    const size = () => page.evaluate(() => document.getElementById('screen').style.width);
    assert.equal(await size(), '1280px');
    await page.click('#fullscreen');
    await page.waitForFunction(() => document.fullscreenElement && document.fullscreenElement.id === 'stage',
      { timeout: 10000, polling: 100 });
    assert.match(await size(), /^(640|1280|1920|2560|3200|3840)px$/);
    await page.evaluate(() => document.exitFullscreen());  // the bar is hidden under the full-screen stage
    await page.waitForFunction(() => !document.fullscreenElement, { timeout: 10000, polling: 100 });
    await page.keyboard.press('a');  // keys before the start must not stop the show once it runs
    await page.keyboard.press('Escape');
    await page.click('#play');
    await page.waitForFunction(() => window.velmorin.stats.frames > 30, { timeout: 20000 });
    assert.equal((await state(page)).scene, 0, 'the timeline starts with the title');
    await page.close();
    assert.deepEqual(errors, []);
  });

  it('?order=20 starts in the hodiny scene with the music there', async () => {
    const { page, errors } = await open('?order=20');
    await page.click('#play');
    await page.waitForFunction(() => window.velmorin.position && window.velmorin.position.row >= 8, { timeout: 20000 });
    const s = await state(page);
    assert.equal(s.scene, 5);
    assert.equal(s.position.order, 20);
    assert.equal(await nearest(page), 'hodiny');
    await page.close();
    assert.deepEqual(errors, []);
  });

  it('?order=19 switches from valec3d to hodiny when order 20 is heard; F1 and Escape', async () => {
    const { page, errors } = await open('?order=19');
    await page.click('#play');
    await page.waitForFunction(() => window.velmorin.stats.scene === 4, { timeout: 20000 });
    const started = Date.now();
    await sleep(1500);
    assert.equal(await nearest(page), 'valec3d');
    assert.equal((await state(page)).position.order, 19);
    // Order 19 lasts 7.7 s of music: the switch comes with the music, not
    // with a frame count or a clock of the page's own.
    await page.waitForFunction(() => window.velmorin.stats.scene === 5, { timeout: 20000, polling: 'raf' });
    const switchedAfter = (Date.now() - started) / 1000;
    const s = await state(page);
    assert.equal(s.position.order, 20);
    assert.ok(s.position.row <= 2, `switched at row ${s.position.row}`);
    assert.ok(Math.abs(switchedAfter - 7.7) < 1.0, `switched after ${switchedAfter} s`);
    await sleep(1500);
    assert.equal(await nearest(page), 'hodiny');

    await page.keyboard.press('F1');
    await sleep(300);
    assert.match((await state(page)).overlay || '', /^hodiny {2}20:\d\d {2}\d+ fps$/);
    await page.keyboard.press('Escape');
    await page.waitForFunction(() => !document.getElementById('play').hidden, { timeout: 5000 });
    const stopped = await state(page);
    assert.equal(stopped.status, 'Stopped.');
    await sleep(300);
    assert.equal((await state(page)).frames, stopped.frames, 'no frames after Escape');
    await page.close();
    assert.deepEqual(errors, []);
  });

  it('a hidden page holds the music, so no scene switch is missed', async () => {
    const { page, errors } = await open('?order=19');
    await page.click('#play');
    await page.waitForFunction(() => window.velmorin.stats.scene === 4, { timeout: 20000 });
    // Hidden for longer than the rest of order 19 and all of order 20: had
    // the music gone on, the switch at 20 would have passed unseen.
    const other = await browser.newPage();
    await other.bringToFront();
    await sleep(16000);
    await page.bringToFront();
    await other.close();
    await page.waitForFunction(() => window.velmorin.stats.scene === 5, { timeout: 12000, polling: 100 });
    assert.equal((await state(page)).position.order, 20);
    await page.close();
    assert.deepEqual(errors, []);
  });

  it('says a script error on the page', async () => {
    const site = mkdtempSync(join(tmpdir(), 'velmorin-site-'));
    cpSync(kSite, site, { recursive: true });
    const plg = join(site, 'velmorin.plg');
    writeFileSync(plg, readFileSync(plg, 'utf8').replace('oscilator', 'oscilatorx'));
    const broken = await serve(site, 0);
    const page = await browser.newPage();
    try {
      await page.goto(`http://127.0.0.1:${broken.address().port}/`);
      await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('-> Error'),
        { timeout: 20000 });
      assert.match(await page.evaluate(() => document.getElementById('status').textContent), /oscilatorx/);
      assert.equal(await page.evaluate(() => window.velmorin.ready), false);
    } finally {
      await page.close();
      broken.close();
      rmSync(site, { recursive: true, force: true });
    }
  });
});
