// lbhost serve's page. The state comes from the server's event stream (a whole "state" event
// first, then one event per change); live view is read from the MJPEG stream frame by frame,
// drawn on a canvas and measured for the histogram here in the browser. Commands are POSTs
// to addresses relative to this page, which carry the session's token: a step of lbhost's
// command line (do/STEP) with the words that follow it there.
'use strict';

const $ = (id) => document.getElementById(id);
const SETTINGS = [['aperture', 'Aperture'], ['shutter', 'Shutter'], ['iso', 'ISO'], ['wb', 'White balance']];
const state = { camera: { present: false }, helper: {}, liveview: { on: false }, settings: {}, job: { running: false } };
// Read by the browser test and the benchmark: what has reached the page.
window.lbStats = { frames: 0, events: 0, eventsOpen: false, lastFrameAt: 0 };

let noticeTimer = 0;
function showNotice(text) {
  const notice = $('notice');
  notice.textContent = text;
  notice.classList.add('shown');
  clearTimeout(noticeTimer);
  noticeTimer = setTimeout(() => notice.classList.remove('shown'), 6000);
}

async function send(step, words) {
  try {
    const response = await fetch('do/' + step, {
      method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ words: (words || []).map(String) }),
    });
    if (!response.ok) {
      const answer = await response.json().catch(() => ({}));
      showNotice(answer.error || 'lbhost refused: HTTP ' + response.status);
    }
  } catch (e) {
    showNotice('lbhost does not answer (' + e.message + ')');
  }
}

function setStatus(element, text, good) {
  element.textContent = text;
  element.classList.toggle('good', good === true);
  element.classList.toggle('bad', good === false);
}

function showCamera() {
  const camera = state.camera;
  setStatus($('camera-status'), camera.present ? (camera.name || 'camera') + ': ' + camera.text : 'no camera: ' + (camera.text || ''),
            !!camera.present);
  document.body.classList.toggle('nocamera', !camera.present);
}

function showHelper() {
  setStatus($('helper-status'), 'lensbridge: ' + (state.helper.text || ''), state.helper.running === true);
}

function showLiveView() {
  const on = !!state.liveview.on;
  $('liveview').textContent = on ? 'Live view off' : 'Live view on';
  $('liveview').classList.toggle('on', on);
  $('live-off').classList.toggle('hidden', on);
  // The last frame would otherwise stay under "Live view is off" (live view switched off, the
  // camera unplugged).
  if (!on) {
    for (const canvas of [$('live'), $('histogram')]) canvas.getContext('2d').clearRect(0, 0, canvas.width, canvas.height);
  }
}

function showSettings() {
  const box = $('settings');
  box.replaceChildren();
  for (const [key, label] of SETTINGS) {
    const setting = state.settings[key];
    if (!setting) continue;
    const row = document.createElement('div');
    row.className = 'setting';
    row.dataset.setting = key;
    const name = document.createElement('div');
    name.className = 'name';
    name.textContent = label + ': ' + setting.value;
    row.append(name);
    const choices = document.createElement('div');
    choices.className = 'choices';
    if (!setting.choices || setting.choices.length === 0) {
      choices.innerHTML = '<span class="fixed">fixed by the exposure mode</span>';
    }
    (setting.choices || []).forEach((choice, index) => {
      const button = document.createElement('button');
      button.textContent = choice;
      button.className = 'needs-camera' + (choice === setting.value ? ' on' : '');
      button.dataset.setting = key;
      button.dataset.index = index;
      button.addEventListener('click', () => send('set', [key, '--index', index]));
      choices.append(button);
    });
    row.append(choices);
    box.append(row);
    if (choices.querySelector('.on')) choices.querySelector('.on').scrollIntoView({ block: 'nearest', inline: 'center' });
  }
  const af = state.settings.af;
  $('af').textContent = af === 'On' ? 'AF off' : 'AF on';
  $('af').classList.toggle('on', af === 'On');
}

function showJob() {
  const job = state.job;
  $('job-progress').textContent = job.job ? job.job + ': ' + job.progress : 'Nothing running';
  document.body.classList.toggle('busy', !!job.running);
}

function tileFor(picture) {
  let tile = document.querySelector('.tile[data-id="' + picture.id + '"]');
  if (!tile) {
    tile = document.createElement('div');
    tile.className = 'tile';
    tile.dataset.id = picture.id;
    $('pictures').prepend(tile);
    const empty = $('no-pictures');
    if (empty) empty.remove();
  }
  return tile;
}

function showPicture(picture) {
  const tile = tileFor(picture);
  tile.dataset.state = picture.state;
  tile.replaceChildren();
  const mebibytes = (picture.size / 1048576).toFixed(1) + ' MiB';
  if (picture.state === 'complete' && picture.url) {
    const image = document.createElement('img');
    image.src = picture.url;
    image.alt = picture.name;
    image.addEventListener('click', () => {
      $('viewer-image').src = picture.url;
      $('viewer').hidden = false;
    });
    tile.append(image);
  } else {
    const body = document.createElement('div');
    body.className = 'raw';
    body.textContent = picture.state === 'complete' ? mebibytes
      : picture.state === 'error' ? 'failed' : picture.state === 'downloaded' ? 'saving…' : 'downloading…';
    tile.append(body);
  }
  const caption = document.createElement('div');
  caption.textContent = picture.name + (picture.state === 'complete' ? ' · ' + mebibytes : '');
  tile.append(caption);
  if (picture.error) {
    const why = document.createElement('div');
    why.className = 'error';
    why.textContent = picture.error;
    tile.append(why);
  }
}

const SHOW = { camera: showCamera, helper: showHelper, liveview: showLiveView, settings: showSettings, job: showJob };

function applyState(whole) {
  for (const kind of Object.keys(SHOW)) {
    if (whole[kind] !== undefined) state[kind] = whole[kind];
    SHOW[kind]();
  }
  for (const picture of whole.pictures || []) showPicture(picture);
}

// The event stream. EventSource retries by itself after a dropped connection, but not after
// a refusal (such as "too many pages"), so a closed one is opened again here.
function connectEvents() {
  const events = new EventSource('events');
  events.onopen = () => {
    window.lbStats.eventsOpen = true;
    document.body.classList.remove('lost');
    setStatus($('link-status'), 'page: live', true);
  };
  events.onerror = () => {
    window.lbStats.eventsOpen = false;
    // Nothing the page shows is known to hold any more, and no control would reach the camera;
    // the "state" event that comes with the next connection shows it all again.
    document.body.classList.add('lost');
    applyState({ camera: { present: false, text: 'lbhost does not answer' }, helper: { running: false, text: 'not known' },
      liveview: { on: false } });
    setStatus($('link-status'), 'page: lbhost does not answer, retrying', false);
    if (events.readyState === EventSource.CLOSED) setTimeout(connectEvents, 2000);
  };
  events.addEventListener('state', (e) => { window.lbStats.events++; applyState(JSON.parse(e.data)); });
  for (const kind of Object.keys(SHOW)) {
    events.addEventListener(kind, (e) => {
      window.lbStats.events++;
      state[kind] = JSON.parse(e.data);
      SHOW[kind]();
    });
  }
  events.addEventListener('picture', (e) => { window.lbStats.events++; showPicture(JSON.parse(e.data)); });
  events.addEventListener('notice', (e) => { window.lbStats.events++; showNotice(JSON.parse(e.data).text); });
}

// Live view: each part of the MJPEG stream is one JPEG with its length in its header. Only the
// newest frame is drawn; a frame that arrives while one is being decoded replaces the waiting one.
let waitingFrame = null;
let drawing = false;
const histogramCanvas = document.createElement('canvas');
histogramCanvas.width = 160;
histogramCanvas.height = 106;

async function drawFrames() {
  drawing = true;
  while (waitingFrame) {
    const jpeg = waitingFrame;
    waitingFrame = null;
    try {
      const bitmap = await createImageBitmap(new Blob([jpeg], { type: 'image/jpeg' }));
      // A frame that comes as live view goes off, or the last one of a session whose live view
      // is off, is not shown.
      if (!state.liveview.on) {
        bitmap.close();
        continue;
      }
      const live = $('live');
      if (live.width !== bitmap.width || live.height !== bitmap.height) {
        live.width = bitmap.width;
        live.height = bitmap.height;
      }
      live.getContext('2d').drawImage(bitmap, 0, 0);
      drawHistogram(bitmap);
      bitmap.close();
      window.lbStats.frames++;
      window.lbStats.lastFrameAt = performance.now();
    } catch (e) {
      // A frame that does not decode is skipped; the next one is drawn.
    }
  }
  drawing = false;
}

function drawHistogram(bitmap) {
  const small = histogramCanvas.getContext('2d', { willReadFrequently: true });
  small.drawImage(bitmap, 0, 0, histogramCanvas.width, histogramCanvas.height);
  const pixels = small.getImageData(0, 0, histogramCanvas.width, histogramCanvas.height).data;
  const bins = new Uint32Array(64);
  for (let i = 0; i < pixels.length; i += 4) {
    const luma = 0.2126 * pixels[i] + 0.7152 * pixels[i + 1] + 0.0722 * pixels[i + 2];
    bins[Math.min(63, luma >> 2)]++;
  }
  const canvas = $('histogram');
  const context = canvas.getContext('2d');
  context.clearRect(0, 0, canvas.width, canvas.height);
  const highest = Math.max(...bins) || 1;
  context.fillStyle = '#d8d8d8';
  for (let b = 0; b < 64; b++) {
    const height = Math.round((bins[b] / highest) * canvas.height);
    context.fillRect(b * 4, canvas.height - height, 3, height);
  }
}

function indexOfBlankLine(bytes, from) {
  for (let i = from; i + 3 < bytes.length; i++) {
    if (bytes[i] === 13 && bytes[i + 1] === 10 && bytes[i + 2] === 13 && bytes[i + 3] === 10) return i;
  }
  return -1;
}

async function readLiveStream() {
  try {
    const response = await fetch('live.mjpg', { cache: 'no-store' });
    if (!response.ok) {
      // A refusal's page says why (too many pages, a stale address); the page shows it.
      const page = new DOMParser().parseFromString(await response.text(), 'text/html');
      setStatus($('link-status'), 'page: ' + (page.body.textContent || 'HTTP ' + response.status), false);
      throw new Error('HTTP ' + response.status);
    }
    const reader = response.body.getReader();
    let buffer = new Uint8Array(0);
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      const joined = new Uint8Array(buffer.length + value.length);
      joined.set(buffer);
      joined.set(value, buffer.length);
      buffer = joined;
      for (;;) {
        const blank = indexOfBlankLine(buffer, 0);
        if (blank < 0) break;
        const header = new TextDecoder().decode(buffer.subarray(0, blank));
        const length = /Content-Length:\s*(\d+)/i.exec(header);
        if (!length) throw new Error('a live-view part without its length');
        const start = blank + 4;
        const end = start + Number(length[1]);
        if (buffer.length < end + 2) break;
        waitingFrame = buffer.slice(start, end);
        buffer = buffer.slice(end + 2);
        if (!drawing) drawFrames();
      }
    }
  } catch (e) {
    // The stream ended (lbhost restarted, the network dropped): it is opened again below.
  }
  setTimeout(readLiveStream, 1000);
}

function number(id) {
  return Number($(id).value);
}

// A number of shots within the bounds lbhost takes, as its command line bounds `stack --shots`.
const MOST_SHOTS = 1000000;
function shots(id) {
  return Math.min(MOST_SHOTS, Math.max(1, Math.round(number(id))));
}

// The focus step of a select whose options are 1, 2 and 3.
function stepWord(id) {
  return ['fine', 'medium', 'coarse'][number(id) - 1];
}

function wireControls() {
  $('liveview').addEventListener('click', () => send('live', [state.liveview.on ? 'off' : 'on']));
  $('grid-toggle').addEventListener('click', () => {
    $('grid').classList.toggle('shown');
    $('grid-toggle').classList.toggle('on', $('grid').classList.contains('shown'));
  });
  $('grid-toggle').classList.add('on');
  $('capture').addEventListener('click', () => send('capture'));
  $('focus-near').addEventListener('click', () => send('focus', ['near', '--step', stepWord('focus-step')]));
  $('focus-far').addEventListener('click', () => send('focus', ['far', '--step', stepWord('focus-step')]));
  $('af').addEventListener('click', () => send('af', [state.settings.af !== 'On' ? 'on' : 'off']));
  $('stack').addEventListener('click', () => send('stack', ['--shots', shots('stack-count'), '--step', stepWord('stack-step'),
    '--direction', number('stack-direction') < 0 ? 'far' : 'near']));
  $('timelapse').addEventListener('click', () => send('timelapse', ['--interval', number('timelapse-interval'),
    '--count', shots('timelapse-count')]));
  $('stop').addEventListener('click', () => send('stop'));
  $('viewer').addEventListener('click', () => { $('viewer').hidden = true; });
}

wireControls();
connectEvents();
readLiveStream();
