// The page around the engine: fetches the show, starts the engine, draws its
// frames on the canvas, sends it the keys and plays the music.
//   ?order=N   start the show at module order N (the title is skipped)
//   ?hook      build the scenes and play nothing: window.velmorin.hookFrame
//              renders chosen frames (the same-frame test)
import { ChiptuneJsPlayer } from './chiptune3.js';

const params = new URLSearchParams(location.search);
const startOrder = /^\d+$/.test(params.get('order') || '') ? Number(params.get('order')) : -1;
const hookMode = params.has('hook');

const stage = document.getElementById('stage');
const canvas = document.getElementById('screen');
const overlayBox = document.getElementById('overlay');
const playButton = document.getElementById('play');
const statusLine = document.getElementById('status');
const context2d = canvas.getContext('2d');
let imageData = null;

// What a test or a curious person can read: the scene last drawn, per-scene
// frame counts and drawing times, and the music position being followed.
const stats = { scene: -1, frames: 0, scenes: {} };
window.velmorin = { stats, ready: false, playing: false, position: null };

// Whole-number scale when the page has room for it, like the native full
// screen; a smaller page gets the largest fit that shows everything.
function fitCanvas() {
  const w = stage.clientWidth, h = stage.clientHeight;
  let scale = Math.min(w / canvas.width, h / canvas.height);
  if (scale >= 1) scale = Math.floor(scale);
  canvas.style.width = `${Math.round(canvas.width * scale)}px`;
  canvas.style.height = `${Math.round(canvas.height * scale)}px`;
}
window.addEventListener('resize', fitCanvas);
document.addEventListener('fullscreenchange', fitCanvas);
document.getElementById('fullscreen').addEventListener('click', () => {
  if (document.fullscreenElement) document.exitFullscreen();
  else stage.requestFullscreen().catch((e) => showStatus(`Full screen is not available: ${e.message}`));
});

function showStatus(text) { statusLine.textContent = text; }

// ---------------------------------------------------------------------------
// Music: the worklet player, and the position being heard.  Each report is
// stamped with the audio clock when it arrives; the one heard now is the
// newest whose stamp is at least the output latency old.
const music = {
  player: null,
  module: null,       // the .xm bytes
  reports: [],
  order: 0,           // where the last play started
  seeking: false,
  playing: false,

  async open() {
    if (this.player) return;
    const player = new ChiptuneJsPlayer({ repeatCount: 0 });
    await new Promise((resolve, reject) => {
      player.onInitialized(resolve);
      player.onError((e) => reject(new Error(`music player: ${e && e.type}`)));
    });
    player.onProgress((d) => {
      // Until the seek lands, the player may report the module's start.
      if (this.seeking && d.order !== this.order) return;
      this.seeking = false;
      this.reports.push({ t: player.context.currentTime, order: d.order, row: d.row });
      if (this.reports.length > 2048) this.reports.splice(0, 1024);
    });
    this.player = player;
  },
  latency() {
    const c = this.player && this.player.context;
    return c ? (c.outputLatency || c.baseLatency || 0) : 0;
  },
  play(order) {
    this.reports = [];
    this.order = order;
    this.seeking = order > 0;
    this.player.play(this.module.slice(0));
    if (order > 0) this.player.setOrderRow(order, 0);
    this.playing = true;
    if (document.hidden) this.player.pause();
  },
  stop() {
    if (this.player) this.player.stop();
    this.reports = [];
    this.playing = false;
  },
  // order * 256 + row
  position() {
    if (!this.player) return this.order * 256;
    const heard = this.player.context.currentTime - this.latency();
    const r = this.reports;
    let drop = 0;
    while (drop + 1 < r.length && r[drop + 1].t <= heard) ++drop;
    if (drop) r.splice(0, drop);
    const p = r.length && r[0].t <= heard ? r[0] : { order: this.order, row: 0 };
    window.velmorin.position = p;
    return p.order * 256 + p.row;
  },
};

// ---------------------------------------------------------------------------
// What the engine calls (Module.page).
let playRequested = null;
const page = {
  draw(rgba, width, height) {
    if (!imageData || imageData.width !== width || imageData.height !== height) {
      canvas.width = width;
      canvas.height = height;
      imageData = context2d.createImageData(width, height);
      fitCanvas();
    }
    imageData.data.set(rgba);
    context2d.putImageData(imageData, 0, 0);
  },
  overlay(text, x, y) {
    overlayBox.textContent = text;
    overlayBox.hidden = !text;
    const scale = canvas.clientWidth / canvas.width;
    overlayBox.style.left = `${canvas.offsetLeft + x * scale}px`;
    overlayBox.style.top = `${canvas.offsetTop + y * scale}px`;
  },
  nextFrame() { return new Promise((resolve) => requestAnimationFrame(resolve)); },
  waitPlay() {
    window.velmorin.playing = false;
    playButton.hidden = false;
    return new Promise((resolve) => { playRequested = resolve; });
  },
  ready() {
    window.velmorin.ready = true;
    showStatus('');
  },
  frameDone(scene, ms) {
    const now = performance.now();
    const s = stats.scenes[scene] || (stats.scenes[scene] = { frames: 0, drawMs: 0, first: now, last: now });
    ++s.frames;
    s.drawMs += ms;
    s.last = now;
    stats.scene = scene;
    ++stats.frames;
  },
  stopped(finished) { showStatus(finished ? 'The end.' : 'Stopped.'); },
  error(text) {
    console.error(`velmorin: ${text}`);
    showStatus(text);
  },
  musicPlay(order) { music.play(order); },
  musicStop() { music.stop(); },
  musicPosition() { return music.position(); },
  musicLatency() { return music.latency(); },
};

// A hidden page gets no animation frames, so the show would not see the
// orders go by and would miss its scene switches: the music waits with it.
document.addEventListener('visibilitychange', () => {
  if (!music.playing) return;
  if (document.hidden) music.player.pause();
  else music.player.unpause();
});

playButton.addEventListener('click', async () => {
  playButton.hidden = true;
  showStatus('');
  try {
    await music.open();  // the audio context is made inside the gesture
    await music.player.context.resume();
  } catch (e) {
    page.error(`Can't start the music: ${e.message}`);
    playButton.hidden = false;
    return;
  }
  window.velmorin.playing = true;
  if (playRequested) playRequested();
  playRequested = null;
});

// Keys: Escape, F1, and characters for the scripts' held-key table.
const kEscape = 27, kF1 = 0x101;
function keyCode(e) {
  if (e.key === 'Escape') return kEscape;
  if (e.key === 'F1') return kF1;
  if (e.key.length === 1) {
    const c = e.key.toLowerCase().charCodeAt(0);
    return c < 256 ? c : 0;
  }
  return 0;
}

async function fetchShow(name) {
  const response = await fetch(name);
  if (!response.ok) throw new Error(`${name}: ${response.status} ${response.statusText}`);
  return new Uint8Array(await response.arrayBuffer());
}

async function start() {
  const [plg, dat, xm] = await Promise.all(['velmorin.plg', 'velmorin.dat', 'velmorin.xm'].map(fetchShow));
  music.module = xm.buffer;
  const engine = await createVelmorin({
    page,
    // A script error ends the engine with "-> Error: ... !" on its output:
    // the page says it too, where a person looks.
    print: (text) => {
      console.log(text);
      if (text.startsWith('-> Error')) showStatus(text);
    },
    printErr: (text) => console.warn(text),
  });
  engine.FS.writeFile('velmorin.plg', plg);
  engine.FS.writeFile('velmorin.dat', dat);
  engine.FS.writeFile('velmorin.xm', xm);
  for (const type of ['keydown', 'keyup']) {
    document.addEventListener(type, (e) => {
      const code = keyCode(e);
      if (!code) return;
      if (code === kF1) e.preventDefault();  // the browser's help
      engine._web_Key(code, type === 'keydown' ? 1 : 0);
    });
  }
  if (hookMode) {
    const size = canvas.width * canvas.height;
    window.velmorin.hookFrame = (scene, seconds, fade) => {
      const at = engine._web_HookFrame(scene, seconds, fade);
      return at ? engine.HEAPU8.slice(at, at + size) : null;
    };
  }
  const args = hookMode ? ['--hook'] : startOrder >= 0 ? ['--start-order', String(startOrder)] : [];
  engine.callMain(args);
}

start().catch((e) => page.error(`Can't start the show: ${e.message}`));
