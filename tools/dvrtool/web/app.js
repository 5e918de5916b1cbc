'use strict';
// The review page: recorded days, a timeline of the chosen day per channel, players fed
// with fragmented MP4 through Media Source, and range downloads. Times on the page are the
// recorder's: seconds after the day's midnight, written with the day's UTC offsets.

const $ = (id) => document.getElementById(id);
const SVG = 'http://www.w3.org/2000/svg';
const ROW = 22, TOP = 24, LEFT = 56;
const state = {
  source: 0, day: null, channels: [], view: [0, 86400], cursor: null, selection: null,
  selChannel: null, tiles: [], lastPlay: null,
};

function status(text) { $('status').textContent = text || ''; }

async function getJson(url) {
  const res = await fetch(url);
  if (!res.ok) throw new Error(url + ': ' + res.status + ' ' + (await res.text()).trim());
  return res.json();
}

// Clock time of an epoch second (or of seconds after midnight) in the recorder's zone.
function offsetAt(elapsed) {
  let offset = 0;
  for (const [from, gmtoff] of state.day.offsets) if (elapsed >= from) offset = gmtoff;
  return offset;
}
function clockOfElapsed(elapsed, withMs) {
  const d = new Date((state.day.midnight + elapsed + offsetAt(elapsed)) * 1000);
  const text = d.toISOString().substring(11, withMs ? 23 : 19);
  return text;
}
function elapsedOfClock(text) {
  const [h, m, s] = text.split(':').map(Number);
  const want = h * 3600 + m * 60 + (s || 0);
  // The first second of the day whose clock reads `text`.
  const base = state.day.offsets[0][1];
  for (const [from, gmtoff] of state.day.offsets) {
    const e = want - (gmtoff - base);
    if (e >= from) return e;
  }
  return want;
}
const daySeconds = () => state.day.hours * 3600;

// ---- dates and the day ----
async function loadSources() {
  const data = await getJson('/api/sources');
  $('zone').textContent = 'times in ' + data.zone;
  for (const s of data.sources) $('source').append(new Option(s.name, s.id));
  $('source').onchange = () => { state.source = Number($('source').value); loadDates(); };
  await loadDates();
}

async function loadDates() {
  const data = await getJson('/api/dates?src=' + state.source);
  const nav = $('dates');
  nav.replaceChildren();
  for (const d of data.dates) {
    const b = document.createElement('button');
    b.textContent = d.date + (d.day_kind !== 'ordinary day' ? ' (' + d.day_kind + ')' : '');
    b.title = d.minutes + ' recorded minute(s)';
    b.dataset.date = d.date;
    b.onclick = () => loadDay(d.date);
    nav.append(b);
  }
  if (data.dates.length) await loadDay(data.dates[data.dates.length - 1].date);
  else status('nothing recorded');
}

async function loadDay(date) {
  const day = await getJson('/api/day?src=' + state.source + '&date=' + date);
  state.day = day;
  for (const b of $('dates').children) b.setAttribute('aria-current', String(b.dataset.date === date));
  let mask = 0;
  for (const s of day.slots) mask |= s.any | s.audio;
  state.channels = [];
  for (let c = 0; c < 32; ++c) if ((mask >>> c) & 1) state.channels.push(c);
  state.view = [0, daySeconds()];
  state.selection = null;
  $('day-title').textContent = day.date + ' \u2014 ' + day.day_kind + ', ' + day.hours + ' h';
  $('zone').textContent = 'times in ' + day.zone;
  drawTimeline();
}

// ---- the timeline ----
function width() { return $('timeline').clientWidth || 1000; }
function xOf(elapsed) {
  const [a, b] = state.view;
  return LEFT + (elapsed - a) / (b - a) * (width() - LEFT - 8);
}
function elapsedOfX(x) {
  const [a, b] = state.view;
  return a + (x - LEFT) / (width() - LEFT - 8) * (b - a);
}

function el(name, attrs, parent) {
  const e = document.createElementNS(SVG, name);
  for (const k in attrs) e.setAttribute(k, attrs[k]);
  if (parent) parent.append(e);
  return e;
}

// Runs of equal kind per channel: [firstSlot, lastSlot, kind].
function runsOf(channel) {
  const kinds = new Map();
  for (const s of state.day.slots) {
    const bit = 1 << channel;
    let kind = null;
    if (s.trigger_b & bit) kind = 'trigger-b';
    else if (s.trigger_a & bit) kind = 'trigger-a';
    else if (s.any & bit) kind = 'any';
    if (kind) kinds.set(s.slot, kind);
    if (s.audio & bit) kinds.set(-1 - s.slot, 'audio');
  }
  const runs = [];
  for (const [slot, kind] of [...kinds].sort((p, q) => p[0] - q[0])) {
    const real = slot < 0 ? -1 - slot : slot;
    const last = runs[runs.length - 1];
    if (last && last[2] === kind && last[1] === real - 1) last[1] = real;
    else runs.push([real, real, kind]);
  }
  return runs;
}

function tickStep(span) {
  const steps = [1, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600];
  return steps.find((s) => span / s <= 12) || 21600;
}

function drawTimeline() {
  const svg = $('timeline');
  const rows = state.channels.length;
  const h = TOP + Math.max(rows, 1) * ROW + 4;
  svg.setAttribute('height', h);
  svg.replaceChildren();
  const [a, b] = state.view;
  svg.dataset.viewStart = a;
  svg.dataset.viewEnd = b;
  svg.dataset.left = LEFT;
  svg.dataset.right = 8;
  const step = tickStep(b - a);
  for (let t = Math.ceil(a / step) * step; t <= b; t += step) {
    const x = xOf(t);
    el('line', { x1: x, x2: x, y1: TOP - 4, y2: h, class: 'tick' }, svg);
    const label = el('text', { x: x + 2, y: TOP - 8, class: 'tick-label' }, svg);
    label.textContent = clockOfElapsed(t).substring(0, step < 60 ? 8 : 5);
  }
  state.channels.forEach((c, i) => {
    const y = TOP + i * ROW;
    const g = el('g', { 'data-ch': c, class: 'row' }, svg);
    el('rect', { x: LEFT, y, width: width() - LEFT - 8, height: ROW - 4, class: 'row-bg',
      'data-ch': c }, g);
    el('text', { x: 4, y: y + 13, class: 'row-label' }, g).textContent = 'ch ' + c;
    for (const [first, last, kind] of runsOf(c)) {
      const x1 = Math.max(xOf(first * 60), LEFT), x2 = Math.min(xOf((last + 1) * 60), width() - 8);
      if (x2 <= LEFT || x1 >= width() - 8) continue;
      const audio = kind === 'audio';
      el('rect', { x: x1, width: Math.max(x2 - x1, 1), y: audio ? y + 13 : y + 2,
        height: audio ? 4 : 10, class: kind, 'data-ch': c, 'data-first': first,
        'data-last': last }, g);
    }
  });
  if (state.selection) {
    const [s0, s1] = state.selection;
    const i = state.channels.indexOf(state.selChannel);
    el('rect', { x: xOf(s0), width: Math.max(xOf(s1) - xOf(s0), 1), y: TOP + i * ROW,
      height: ROW - 4, class: 'selection' }, svg);
  }
  if (state.cursor !== null && state.cursor >= a && state.cursor <= b) {
    el('line', { x1: xOf(state.cursor), x2: xOf(state.cursor), y1: TOP - 4, y2: h,
      class: 'cursor' }, svg);
  }
}

function zoom(factor, around) {
  const [a, b] = state.view;
  const span = Math.min(Math.max((b - a) * factor, 60), daySeconds());
  const c = around ?? (a + b) / 2;
  let s = c - (c - a) / (b - a) * span;
  s = Math.min(Math.max(s, 0), daySeconds() - span);
  state.view = [s, s + span];
  drawTimeline();
}

function rowAt(event) {
  const box = $('timeline').getBoundingClientRect();
  const i = Math.floor((event.clientY - box.top - TOP) / ROW);
  const x = event.clientX - box.left;
  if (i < 0 || i >= state.channels.length || x < LEFT) return null;
  return { channel: state.channels[i], elapsed: Math.max(0, elapsedOfX(x)) };
}

function setupTimeline() {
  const svg = $('timeline');
  let down = null;
  svg.addEventListener('mousedown', (e) => { down = { at: rowAt(e), x: e.clientX }; });
  svg.addEventListener('mousemove', (e) => {
    if (!down || !down.at || Math.abs(e.clientX - down.x) < 5) return;
    const here = rowAt(e) || { elapsed: elapsedOfX(e.clientX - svg.getBoundingClientRect().left) };
    const s = [down.at.elapsed, here.elapsed].sort((p, q) => p - q);
    selectRange(down.at.channel, Math.floor(s[0]), Math.floor(s[1]));
  });
  svg.addEventListener('mouseup', (e) => {
    const start = down;
    down = null;
    if (!start || !start.at || Math.abs(e.clientX - start.x) >= 5) return;
    play(start.at.channel, Math.floor(start.at.elapsed));
  });
  svg.addEventListener('wheel', (e) => {
    e.preventDefault();
    const box = svg.getBoundingClientRect();
    zoom(e.deltaY > 0 ? 1.5 : 1 / 1.5, elapsedOfX(e.clientX - box.left));
  }, { passive: false });
  $('zoom-in').onclick = () => zoom(1 / 4, state.cursor ?? undefined);
  $('zoom-out').onclick = () => zoom(4, state.cursor ?? undefined);
  $('zoom-day').onclick = () => { state.view = [0, daySeconds()]; drawTimeline(); };
  $('goto').onchange = () => {
    const e = elapsedOfClock($('goto').value);
    state.cursor = e;
    zoom(1, e);
  };
  window.addEventListener('resize', drawTimeline);
}

// ---- export ----
function selectRange(channel, from, to) {
  state.selection = [from, to + 1];
  state.selChannel = channel;
  $('export-channel').textContent = channel;
  $('export-from').value = clockOfElapsed(from);
  $('export-to').value = clockOfElapsed(to);
  updateExport();
  drawTimeline();
}
function updateExport() {
  const link = $('export');
  const c = state.selChannel;
  if (c === null || !$('export-from').value || !$('export-to').value) return;
  const from = state.day.midnight + elapsedOfClock($('export-from').value);
  const to = state.day.midnight + elapsedOfClock($('export-to').value);
  link.classList.toggle('disabled', to < from);
  link.href = `/api/export?src=${state.source}&ch=${c}&from=${from}&to=${to}`;
}

// ---- players ----
class Tile {
  constructor(grid) {
    this.root = document.createElement('div');
    this.root.className = 'tile';
    this.retries = 0;
    this.video = document.createElement('video');
    this.video.muted = true;
    this.video.playsInline = true;
    this.label = document.createElement('span');
    this.label.className = 'label';
    this.root.append(this.video, this.label);
    grid.append(this.root);
    this.video.addEventListener('error', () => this.fail('the browser could not decode this'));
  }

  fail(why) {
    this.root.dataset.state = 'error';
    this.label.textContent = 'ch ' + this.channel + ': ' + why;
  }

  stop() {
    if (this.abort) this.abort.abort();
    this.abort = null;
    this.video.removeAttribute('src');
    this.video.load();
  }

  // Plays `channel` from epoch second `from` at `rate16` sixteenths; paused shows the
  // picture at `from` and stays there.
  async start(source, channel, from, rate16, paused) {
    this.stop();
    this.channel = channel;
    this.rate16 = rate16;
    this.root.dataset.channel = channel;
    this.root.dataset.state = 'loading';
    this.label.textContent = 'ch ' + channel + ' \u2026';
    const abort = (this.abort = new AbortController());
    let res;
    try {
      res = await fetch(`/api/stream?src=${source}&ch=${channel}&from=${from}&rate16=${rate16}`,
        { signal: abort.signal });
    } catch (e) { if (!abort.signal.aborted) this.fail('no connection'); return; }
    if (!res.ok) { this.fail((await res.text()).trim()); return; }
    this.startMs = Number(res.headers.get('X-Stream-Start'));
    const codec = res.headers.get('X-Codec');
    const type = `video/mp4; codecs="${codec}"`;
    if (!window.MediaSource || !MediaSource.isTypeSupported(type)) { this.fail('cannot play ' + type); return; }
    const media = new MediaSource();
    this.video.src = URL.createObjectURL(media);
    await new Promise((r) => media.addEventListener('sourceopen', r, { once: true }));
    const buffer = media.addSourceBuffer(type);
    const forward = rate16 > 0;
    // Where the picture recorded at `from` sits in the stream.
    const target = forward ? Math.max(0, from - this.startMs / 1000) : 0;
    this.video.playbackRate = Math.abs(rate16) / 16;
    let positioned = false;
    const position = () => {
      const b = buffer.buffered;
      if (positioned || !b.length || b.end(b.length - 1) < target + (paused ? 0.05 : 0.3)) return;
      positioned = true;
      this.video.currentTime = target;
      this.video.addEventListener('seeked', () => {
        this.root.dataset.state = paused ? 'shown' : 'playing';
        this.root.dataset.shownMs = this.recordedMs();
        if (!paused) this.video.play().catch(() => {});
      }, { once: true });
    };
    const reader = res.body.getReader();
    const appendAll = async () => {
      for (;;) {
        const { done, value } = await reader.read();
        if (done || abort.signal.aborted) break;
        if (buffer.updating) await new Promise((r) => buffer.addEventListener('updateend', r, { once: true }));
        if (abort.signal.aborted || media.readyState !== 'open') break;
        // Keep half a minute behind the play position.
        const b = buffer.buffered;
        if (b.length && this.video.currentTime - b.start(0) > 40) {
          buffer.remove(0, this.video.currentTime - 30);
          await new Promise((r) => buffer.addEventListener('updateend', r, { once: true }));
        }
        buffer.appendBuffer(value);
        await new Promise((r) => buffer.addEventListener('updateend', r, { once: true }));
        position();
      }
    };
    appendAll().catch((e) => {
      if (abort.signal.aborted) return;
      // The server drops a stream its viewer stopped reading (a tab starved of CPU): go on
      // from the picture on screen, a few times.
      if (positioned && this.retries++ < 3) {
        this.start(source, channel, Math.floor(this.recordedMs() / 1000), rate16, paused);
      } else {
        this.fail(String(e));
      }
    });
  }

  recordedMs() {
    const t = this.video.currentTime * 1000;
    return Math.round(this.rate16 > 0 ? this.startMs + t : this.startMs - t);
  }
}

function layoutChannels(first) {
  const n = Number($('layout').value);
  const i = state.channels.indexOf(first);
  const list = [first];
  for (let k = 1; k < state.channels.length && list.length < n; ++k) {
    list.push(state.channels[(i + k) % state.channels.length]);
  }
  return list;
}

function play(channel, elapsed) {
  state.cursor = elapsed;
  state.lastPlay = { channel, elapsed };
  $('goto').value = clockOfElapsed(elapsed);
  const channels = layoutChannels(channel);
  const grid = $('grid');
  const n = Number($('layout').value);
  grid.className = 'grid layout-' + n;
  for (const t of state.tiles) t.stop();
  grid.replaceChildren();
  state.tiles = channels.map(() => new Tile(grid));
  const from = state.day.midnight + elapsed;
  const paused = $('pause').getAttribute('aria-pressed') === 'true';
  channels.forEach((c, k) => state.tiles[k].start(state.source, c, from, Number($('rate').value), paused));
  status('');
  drawTimeline();
}

function tick() {
  const first = state.tiles[0];
  if (first && first.startMs && state.day && first.root.dataset.state !== 'loading') {
    for (const t of state.tiles) {
      if (!t.startMs || t.root.dataset.state === 'error') continue;
      const ms = t.recordedMs();
      t.label.textContent = 'ch ' + t.channel + '  ' + clockOfElapsed((ms / 1000) - state.day.midnight, true);
    }
    const elapsed = first.recordedMs() / 1000 - state.day.midnight;
    if (Math.abs(elapsed - (state.cursor ?? -1)) >= 0.5) { state.cursor = elapsed; drawTimeline(); }
  }
  setTimeout(tick, 250);
}

function setupPlayer() {
  $('pause').onclick = () => {
    const paused = $('pause').getAttribute('aria-pressed') !== 'true';
    $('pause').setAttribute('aria-pressed', String(paused));
    $('pause').textContent = paused ? 'Play' : 'Pause';
    for (const t of state.tiles) {
      if (paused) t.video.pause();
      else if (t.root.dataset.state !== 'loading') t.video.play().catch(() => {});
    }
  };
  const restart = () => {
    if (!state.lastPlay || !state.tiles.length) return;
    const elapsed = state.tiles[0].startMs ? state.tiles[0].recordedMs() / 1000 - state.day.midnight
      : state.lastPlay.elapsed;
    play(state.lastPlay.channel, Math.floor(elapsed));
  };
  $('rate').onchange = restart;
  $('layout').onchange = restart;
  $('export-from').onchange = updateExport;
  $('export-to').onchange = updateExport;
}

setupTimeline();
setupPlayer();
loadSources().catch((e) => status(String(e.message || e)));
tick();
