// lbhost serve's page. The state comes from the server's event stream (a whole "state" event
// first, then one event per change); live view is read from the MJPEG stream frame by frame,
// drawn on a canvas and measured for the histogram here in the browser. Commands are POSTs
// to addresses relative to this page, which carry the session's token: a step of lbhost's
// command line (do/STEP) with the words that follow it there.
//
// A rig (the "rig" event names its cameras) shows every camera's live view in a tile, the
// chosen one large; the stream's parts name their camera. Its pictures are grouped by rig
// shot with the shot's skew and what went wrong, and settings that differ between the cameras
// are marked with each camera's value.
'use strict';

const $ = (id) => document.getElementById(id);
const SETTINGS = [['aperture', 'Aperture'], ['shutter', 'Shutter'], ['iso', 'ISO'], ['wb', 'White balance']];
const state = { camera: { present: false }, helper: {}, liveview: { on: false }, settings: {}, job: { running: false },
  rig: { cameras: [] } };
// Read by the browser test and the benchmark: what has reached the page; framesBy counts a
// rig's frames by device id.
window.lbStats = { frames: 0, events: 0, eventsOpen: false, lastFrameAt: 0, framesBy: {} };
// The rig's camera shown large, by device id.
let chosen = 0;
const isRig = () => state.rig.cameras.length > 0;

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
    for (const canvas of [$('live'), $('histogram'), ...document.querySelectorAll('.camera canvas')]) {
      canvas.getContext('2d').clearRect(0, 0, canvas.width, canvas.height);
    }
  }
}

// What a rig's tile and the large view call a camera: its chosen name, or its model and device id.
function cameraCaption(camera) {
  return camera.name === camera.model + '-' + camera.device_id ? camera.model + ' · ' + camera.device_id
    : camera.name + ' · ' + camera.model + ' · ' + camera.device_id;
}

function choose(device) {
  const changed = device !== chosen;
  chosen = device;
  const camera = state.rig.cameras.find((c) => c.device_id === device);
  $('chosen-name').textContent = camera ? cameraCaption(camera) : '';
  for (const tile of document.querySelectorAll('.camera')) tile.classList.toggle('chosen', Number(tile.dataset.device) === device);
  // The camera shown before stays no longer than its next frame would.
  if (changed) $('live').getContext('2d').clearRect(0, 0, $('live').width, $('live').height);
}

function showRig() {
  const cameras = state.rig.cameras;
  document.body.classList.toggle('rig', cameras.length > 0);
  const box = $('cameras');
  const ids = cameras.map((c) => String(c.device_id));
  if ([...box.children].map((tile) => tile.dataset.device).join() !== ids.join()) {
    box.replaceChildren(...cameras.map((camera) => {
      const tile = document.createElement('div');
      tile.className = 'camera';
      tile.dataset.device = camera.device_id;
      const caption = document.createElement('div');
      caption.textContent = cameraCaption(camera);
      tile.append(document.createElement('canvas'), caption);
      tile.addEventListener('click', () => choose(camera.device_id));
      return tile;
    }));
  }
  if (cameras.length) choose(cameras.some((c) => c.device_id === chosen) ? chosen : cameras[0].device_id);
  showSettings();
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
    // A rig's setting whose value is not the same on every camera is marked, with each value.
    const values = state.rig.cameras.map((c) => c.name + ' ' + (c.settings[key] ?? '-'));
    if (new Set(state.rig.cameras.map((c) => c.settings[key])).size > 1) {
      row.classList.add('differs');
      name.title = values.join('\n');
      const list = document.createElement('div');
      list.className = 'values';
      list.textContent = values.join(' · ');
      row.append(list);
    }
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
      // A rig's cameras may list other choices: each is set to the value, not to the position.
      button.addEventListener('click', () => send('set', isRig() ? [key, choice] : [key, '--index', index]));
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

// A rig shot's group: its heading, what went wrong, and its pictures in the cameras' order.
function shotFor(number) {
  let group = document.querySelector('.shot[data-rig-shot="' + number + '"]');
  if (!group) {
    group = document.createElement('div');
    group.className = 'shot';
    group.dataset.rigShot = number;
    const heading = document.createElement('h3');
    heading.textContent = 'Rig shot ' + number;
    const summary = document.createElement('div');
    summary.className = 'shot-summary';
    const pictures = document.createElement('div');
    pictures.className = 'shot-pictures';
    group.append(heading, summary, pictures);
    $('pictures').prepend(group);
    const empty = $('no-pictures');
    if (empty) empty.remove();
  }
  return group;
}

function showRigShot(shot) {
  const summary = shotFor(shot.rig_shot).querySelector('.shot-summary');
  summary.replaceChildren();
  const fired = shot.cameras.filter((c) => c.fired_ms !== undefined);
  const skew = document.createElement('div');
  skew.className = 'skew';
  skew.textContent = shot.skew_ms === undefined ? 'no camera fired'
    : 'skew ' + shot.skew_ms + ' ms (fired at ' + fired.map((c) => c.camera + ' ' + c.fired_ms).join(', ') + ' ms)';
  summary.append(skew);
  for (const camera of shot.cameras) {
    const problems = [];
    if (camera.fired_ms === undefined) problems.push(camera.camera + ' did not fire: ' + (camera.error || 'no reason given'));
    else if (camera.lost) problems.push(camera.camera + ' was unplugged before its files were in');
    if (camera.missing) problems.push(camera.camera + ': ' + camera.missing + ' file(s) did not arrive');
    for (const text of problems) {
      const line = document.createElement('div');
      line.className = 'problem';
      line.textContent = text;
      summary.append(line);
    }
  }
}

function tileFor(picture) {
  let tile = document.querySelector('.tile[data-id="' + picture.id + '"]');
  if (!tile) {
    tile = document.createElement('div');
    tile.className = 'tile';
    tile.dataset.id = picture.id;
    if (picture.rig_shot) {
      shotFor(picture.rig_shot).querySelector('.shot-pictures').append(tile);
    } else {
      $('pictures').prepend(tile);
    }
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
  caption.className = 'caption';
  caption.textContent = (picture.camera ? picture.camera + ': ' : '') + picture.name +
    (picture.state === 'complete' ? ' · ' + mebibytes : '');
  tile.append(caption);
  if (picture.error) {
    const why = document.createElement('div');
    why.className = 'error';
    why.textContent = picture.error;
    tile.append(why);
  }
}

const SHOW = { camera: showCamera, helper: showHelper, liveview: showLiveView, settings: showSettings, job: showJob, rig: showRig };

function applyState(whole) {
  for (const kind of Object.keys(SHOW)) {
    if (whole[kind] !== undefined) state[kind] = whole[kind];
    SHOW[kind]();
  }
  for (const shot of whole.rigshots || []) showRigShot(shot);
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
  events.addEventListener('rigshot', (e) => { window.lbStats.events++; showRigShot(JSON.parse(e.data)); });
  events.addEventListener('notice', (e) => { window.lbStats.events++; showNotice(JSON.parse(e.data).text); });
}

// Live view: each part of the MJPEG stream is one JPEG with its length and its camera in its
// header. Only each camera's newest frame is drawn; a frame that arrives while one is being
// decoded replaces its camera's waiting one and goes behind the other cameras' in turn.
const waitingFrames = new Map();
let drawing = false;
const histogramCanvas = document.createElement('canvas');
histogramCanvas.width = 160;
histogramCanvas.height = 106;

async function drawFrames() {
  drawing = true;
  while (waitingFrames.size) {
    const [device, jpeg] = waitingFrames.entries().next().value;
    waitingFrames.delete(device);
    try {
      const bitmap = await createImageBitmap(new Blob([jpeg], { type: 'image/jpeg' }));
      // A frame that comes as live view goes off, or the last one of a session whose live view
      // is off, is not shown.
      if (!state.liveview.on) {
        bitmap.close();
        continue;
      }
      const tile = isRig() ? document.querySelector('.camera[data-device="' + device + '"] canvas') : null;
      const canvases = isRig() ? [tile, device === chosen ? $('live') : null] : [$('live')];
      for (const canvas of canvases.filter(Boolean)) {
        if (canvas.width !== bitmap.width || canvas.height !== bitmap.height) {
          canvas.width = bitmap.width;
          canvas.height = bitmap.height;
        }
        canvas.getContext('2d').drawImage(bitmap, 0, 0);
      }
      if (!isRig() || device === chosen) drawHistogram(bitmap);
      bitmap.close();
      window.lbStats.frames++;
      window.lbStats.framesBy[device] = (window.lbStats.framesBy[device] || 0) + 1;
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
        const device = Number((/X-Device-Id:\s*(\d+)/i.exec(header) || [0, 0])[1]);
        waitingFrames.delete(device);
        waitingFrames.set(device, buffer.slice(start, end));
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
