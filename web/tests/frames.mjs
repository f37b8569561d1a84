// Native frames for the page tests: `velmorin --frames` runs of the default
// show, and picture comparisons done inside the page.
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const kBuild = process.env.VELMORIN_BUILD || new URL('../../build', import.meta.url).pathname;

// Renders `seconds` of the show from an order (-1: from the title) at `fps`
// and returns its frames: { seconds, scene, fade, png (base64) }.
export function nativeFrames(startOrder, seconds, fps) {
  const dir = join(mkdtempSync(join(tmpdir(), 'velmorin-frames-')), 'out');
  const args = ['--frames', dir, '--fps', String(fps), '--duration', String(seconds)];
  if (startOrder >= 0) args.push('--start-order', String(startOrder));
  execFileSync(join(kBuild, 'velmorin'), args, { cwd: join(kBuild, 'show'), stdio: ['ignore', 'ignore', 'pipe'] });
  const rows = readFileSync(join(dir, 'frames.tsv'), 'utf8').trim().split('\n').slice(1);
  const pngs = readdirSync(dir).filter((f) => f.endsWith('.png')).sort();
  return rows.map((line, i) => {
    const [, t, , , scene, fade] = line.split('\t');
    return { seconds: Number(t), scene, fade: Number(fade), png: readFileSync(join(dir, pngs[i])).toString('base64') };
  });
}

export const kScenes = ['tolvek.plg', 'intro.plg', 'komin3d.plg', 'schody.plg',
  'valec3d.plg', 'hodiny.plg', 'zena.plg', 'end.plg'];

// Installs window.compareGrey(pngBase64, grey) in the page: decodes the PNG
// with the browser and returns { width, height, identical, psnr } against a
// grey picture of the same size.
// (identical pictures report kIdentical dB: Infinity does not cross into node).
export const kIdentical = 999;
export async function installCompare(page) {
  await page.evaluate((kIdentical) => {
    window.decodeGrey = async (png) => {
      const img = new Image();
      img.src = `data:image/png;base64,${png}`;
      await img.decode();
      const c = document.createElement('canvas');
      c.width = img.width;
      c.height = img.height;
      const g = c.getContext('2d');
      g.drawImage(img, 0, 0);
      const d = g.getImageData(0, 0, c.width, c.height).data;
      const grey = new Uint8Array(c.width * c.height);
      for (let i = 0; i < grey.length; ++i) grey[i] = d[i * 4];
      return { width: c.width, height: c.height, grey };
    };
    window.compareGrey = async (png, grey) => {
      const ref = await window.decodeGrey(png);
      if (!grey || grey.length !== ref.grey.length) return { width: ref.width, height: ref.height, identical: false, psnr: -1 };
      let se = 0;
      for (let i = 0; i < grey.length; ++i) {
        const e = grey[i] - ref.grey[i];
        se += e * e;
      }
      const mse = se / grey.length;
      return { width: ref.width, height: ref.height, identical: se === 0, psnr: se ? 10 * Math.log10((255 * 255) / mse) : kIdentical };
    };
  }, kIdentical);
}
