// lbhost serve's page in headless Chromium against lbhost serve under Wine on the simulated
// camera, changed through the simulator's control file as a photographer changes the camera in
// hand. Which request serve refuses, what its hub keeps and sends, is the native serve suite's
// business; here the page, the wire and the server's own limits are seen to work.
//   node serve_page.test.mjs OUTPUT_DIR EMULATOR... LBHOST_EXE  (screenshots go to OUTPUT_DIR)
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';

import { ServeSession, eventually, request, windowsPath } from './serve_session.mjs';

const [outputDir, ...command] = process.argv.slice(2);
// RAW files of several blocks, so a transfer can be cut after its first one.
const session = new ServeSession(outputDir, command, 'camera 1 raw-bytes=3000000 name=D850\n');
const control = (line) => session.control(line);
let page, port, token;
// A client that asks for live view and then reads nothing, started with live view below.
let stalled;

before(async () => {
  await session.start();
  ({ port, token } = session);
  page = await session.openPage();
  page.on('pageerror', (error) => assert.fail('the page threw: ' + error.message));
});

after(async () => {
  assert.equal(await session.stop(), 0, 'lbhost serve ends in order');
});

const frames = () => page.evaluate(() => window.lbStats.frames);
const settingText = (key) => page.textContent('.setting[data-setting="' + key + '"] .name');
const count = (selector) => page.locator(selector).count();
const complete = () => count('.tile[data-state="complete"]');
const progress = () => page.textContent('#job-progress');
const liveViewGoesOn = async (what) => {
  const from = await frames();
  await eventually(what, async () => (await frames()) > from + 5);
};
// Control lines take effect at the camera's next poll, in order: the shutter dialled after
// them, once it shows on the page, says they have.
const controlTaken = async (...lines) => {
  const was = await settingText('shutter');
  for (const line of [...lines, 'dial shutter ' + (was.endsWith('1/4') ? 4 : 3)]) control(line);
  await eventually('the camera took ' + lines.join(', '), async () => (await settingText('shutter')) !== was);
};
// A stream (events, live.mjpg) held open, read and not kept: its status, and the request to end it.
const openStream = (what) => new Promise((resolve) => {
  const req = http.get({ host: '127.0.0.1', port, path: '/' + token + '/' + what, agent: false }, (res) => {
    res.resume();
    resolve({ status: res.statusCode, req });
  });
  req.on('error', () => resolve({ status: 0, req }));
});
const rawRequest = (socket, target) =>
  socket.write('GET /' + token + target + ' HTTP/1.1\r\nHost: 127.0.0.1:' + port + '\r\nConnection: keep-alive\r\n\r\n');

test('live view frames arrive in the page, with their histogram, beside a client that reads none', async () => {
  await page.click('#liveview');
  await eventually('10 live-view frames', async () => (await frames()) >= 10);
  stalled = net.connect(port, '127.0.0.1').on('error', () => {});
  rawRequest(stalled, '/live.mjpg');
  stalled.pause();
  const start = await frames();
  await eventually('10 more frames', async () => (await frames()) >= start + 10);
  assert.ok(await page.evaluate(() => {
    const canvas = document.getElementById('histogram');
    return canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data.some((v) => v !== 0);
  }), 'the histogram is drawn from the frames');
});

test('a setting changed on the page is set on the camera; one changed on the camera shows', async () => {
  await page.click('button[data-setting="aperture"][data-index="5"]');
  await eventually('aperture f/11 on the page', async () => (await settingText('aperture')).endsWith('f/11'));
  assert.equal(await page.getAttribute('button[data-setting="aperture"].on', 'data-index'), '5');
  control('dial shutter 3');
  await eventually('the camera\'s own shutter change on the page', async () => (await settingText('shutter')).endsWith('1/4'));
});

test('capture shows a tile at once and then the picture, which opens in full; the camera\'s own shots come too', async () => {
  await page.evaluate(() => {
    window.tileStates = [];
    new MutationObserver((changes) => changes.forEach((c) => window.tileStates.push(c.target.dataset.state)))
      .observe(document.getElementById('pictures'), { subtree: true, attributes: true, attributeFilter: ['data-state'] });
  });
  await page.click('#capture');
  await page.waitForSelector('.tile[data-state="complete"] img', { timeout: 15000 });
  const states = await page.evaluate(() => window.tileStates);
  assert.deepEqual([states[0], states.at(-1)], ['downloading', 'complete'], 'the tile came with the announcement: ' + states);
  await eventually('the thumbnail decoded', () => page.evaluate(() => document.querySelector('.tile img').naturalWidth > 0));
  await page.click('.tile img');
  await eventually('the full picture shown', () => page.evaluate(() =>
    !document.getElementById('viewer').hidden && document.getElementById('viewer-image').naturalWidth > 0));
  await page.click('#viewer');
  const before = await complete();
  control('shoot 1');  // the camera's own release
  await eventually('the camera\'s own shot in the page', async () => (await complete()) === before + 1);
});

test('focus near and far move the lens by the chosen step; AF switches on and off', async () => {
  const moves = () => (fs.existsSync(session.lensLog) ? fs.readFileSync(session.lensLog, 'utf8') : '')
    .split('\n').filter(Boolean).map((line) => Number(line.split(' ')[1]));
  const drive = async (step, button) => {
    const count = moves().length;
    await page.selectOption('#focus-step', step);
    await page.click(button);
    await eventually('a lens move', () => moves().length === count + 1);
    return moves().at(-1);
  };
  const near = await drive('3', '#focus-near');
  const far = await drive('1', '#focus-far');
  const coarse = (await drive('3', '#focus-near')) - far;
  assert.ok(far - near < 0 && coarse > near - far, 'far and near move opposite ways, coarse further: ' + moves());
  for (const shown of ['AF off', 'AF on']) {
    await page.click('#af');
    await eventually(shown, async () => (await page.textContent('#af')) === shown);
  }
});

test('a focus stack shows its progress and pictures; a timelapse is stopped from the page', async () => {
  const before = await complete();
  await page.evaluate(() => {
    const shown = document.getElementById('job-progress');
    window.progress = [];
    new MutationObserver(() => window.progress.push(shown.textContent)).observe(shown, { childList: true, characterData: true, subtree: true });
  });
  await page.fill('#stack-count', '3');
  await page.selectOption('#stack-step', '3');
  await page.click('#stack');
  await eventually('the stack done', async () => (await progress()) === 'the focus stack: done', 20000);
  assert.equal(await complete(), before + 3);
  assert.ok((await page.evaluate(() => window.progress)).includes('the focus stack: stack 2/3'));

  await page.fill('#timelapse-interval', '1');
  await page.fill('#timelapse-count', '100');
  await page.click('#timelapse');
  await eventually('the second shot of the timelapse', async () => (await progress()) === 'the timelapse: shot 2/100', 10000);
  const refused = await page.evaluate(() => fetch('do/capture', { method: 'POST', body: '{}' }).then((r) => r.status));
  assert.equal(refused, 409, 'a capture waits its turn behind a running timelapse');
  await page.click('#stop');
  await eventually('the timelapse stopped', async () => (await progress()) === 'the timelapse: stopped');
  assert.ok(!(await page.evaluate(() => document.body.classList.contains('busy'))), 'the buttons are back');
});

test('a picture that fails to download shows a tile naming the cause; a setting is taken while a RAW lands', async () => {
  await controlTaken('format raw', 'fault transfer-lost');
  await page.click('#capture');
  await page.waitForSelector('.tile[data-state="error"]', { timeout: 15000 });
  assert.match(await page.textContent('.tile[data-state="error"] .error'), /reported a problem/);
  assert.match(await progress(), /^a capture: failed: /);

  // A RAW of 3 s on a slow link.
  await controlTaken('habit slow-link on', 'rate 1');
  const before = await complete();
  await page.click('#capture');
  await page.waitForSelector('.tile[data-state="downloading"]', { timeout: 10000 });
  await page.click('button[data-setting="iso"][data-index="3"]');
  await eventually('ISO 400 while the RAW transfers', async () => (await settingText('iso')).endsWith(': 400'));
  assert.equal(await count('.tile[data-state="downloading"]'), 1, 'the RAW is still on its way');
  await eventually('the RAW landed', async () => (await complete()) === before + 1, 15000);
});

test('a camera unplugged and plugged in again, and lensbridge stopping, are shown and recovered', async () => {
  control('unplug 1');
  await page.waitForSelector('#camera-status.bad', { timeout: 10000 });
  assert.match(await page.textContent('#camera-status'), /unplugged/);
  assert.ok(await page.evaluate(() => {
    const live = document.getElementById('live');
    return document.body.classList.contains('nocamera') &&
      live.getContext('2d').getImageData(0, 0, live.width, live.height).data.every((v) => v === 0);
  }), 'the camera\'s buttons are off and no frame of the camera that went stays in view');
  control('plug 1');
  await page.waitForSelector('#camera-status.good', { timeout: 15000 });
  await liveViewGoesOn('live view back after the replug');

  const helper = session.processId('lensbridge.exe');
  assert.ok(helper, 'one lensbridge.exe of this test runs');
  process.kill(helper, 'SIGKILL');
  await page.waitForSelector('#helper-status.bad', { timeout: 10000 });
  for (const status of ['#helper-status.good', '#camera-status.good']) await page.waitForSelector(status, { timeout: 20000 });
  await liveViewGoesOn('live view back after lensbridge restarted');
});

test('requests from elsewhere and past the server\'s limits are refused while the page keeps working', async () => {
  // Which request is refused is the native suite's; here each kind of answer reaches the wire,
  // and the Origin header reaches the decision: another site's is refused, the page's own passes.
  const capture = (origin, body) => request(port, 'POST', '/' + token + '/do/capture', { Origin: origin }, body);
  assert.equal((await capture('http://127.0.0.2:' + port, '{}')).status, 403);
  assert.equal((await capture('http://127.0.0.1:' + port, '{')).status, 400);
  assert.equal((await request(port, 'GET', '/' + token + '/picture/99')).status, 404);

  // A flood of connections: the ones past the limit are refused with a page that says why.
  const answers = [];
  const flood = Array.from({ length: 60 }, () => {
    const socket = net.connect(port, '127.0.0.1').on('error', () => {});
    let text = '';
    socket.on('data', (chunk) => { text += chunk; }).on('close', () => answers.push(text));
    rawRequest(socket, '/');
    return socket;
  });
  await eventually('refusals of the flood', () => answers.some((a) => a.startsWith('HTTP/1.1 503')), 10000);
  assert.match(answers.find((a) => a.startsWith('HTTP/1.1 503')), /no room for another/);
  await liveViewGoesOn('live view goes on during the flood');
  flood.forEach((socket) => socket.destroy());

  // Three more pages' event streams fill the places beside this page's; a fifth page is refused.
  const streams = [];
  for (let i = 0; i < 3; i++) streams.push(await openStream('events'));
  assert.deepEqual(streams.map((stream) => stream.status), [200, 200, 200]);
  const fifth = await request(port, 'GET', '/' + token + '/');
  assert.deepEqual([fifth.status, /4 pages at once/.test(fifth.body)], [503, true], fifth.body);
  streams.forEach((stream) => stream.req.destroy());
  await eventually('a place free again', async () => (await request(port, 'GET', '/' + token + '/')).status === 200);

  // A connection that sends nothing is not kept.
  let idleClosed = false;
  net.connect(port, '127.0.0.1').on('error', () => {}).on('close', () => { idleClosed = true; });
  await eventually('the connection that sent nothing closed', () => idleClosed);
});

test('a client that asks for live view and reads nothing is dropped, and its place is free again', async () => {
  // This page's stream and three more fill the places only once the stalled one has gone.
  const readers = [];
  await eventually('three more live-view streams served', async () => {
    const stream = await openStream('live.mjpg');
    if (stream.status === 200) readers.push(stream.req);
    return stream.status === 200 && readers.length === 3;
  }, 60000);
  readers.forEach((req) => req.destroy());
  stalled.destroy();
});

test('the page fits a phone\'s screen', async () => {
  await page.screenshot({ path: path.join(outputDir, 'serve-page.png') });
  await page.setViewportSize({ width: 390, height: 844 });
  await eventually('no sideways scrolling on a phone', () =>
    page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth));
  await page.screenshot({ path: path.join(outputDir, 'serve-phone.png'), fullPage: true });
});

test('when lbhost serve ends, the page says so and its controls are off', async () => {
  process.kill(-session.lbhost.pid, 'SIGINT');
  assert.equal(await session.exited, 0, 'lbhost serve ends in order on Ctrl+C');
  await page.waitForSelector('body.lost #camera-status.bad', { timeout: 20000 });
  assert.match(await page.textContent('#camera-status'), /lbhost does not answer/);
  assert.ok(await page.evaluate(() => ['capture', 'stop'].every((id) =>
    getComputedStyle(document.getElementById(id)).pointerEvents === 'none')), 'Capture and Stop are off');
});

// A rig of three cameras on two modules, the first firing 300 ms late: every camera's live view
// in its tile, a setting that differs marked and then set on each, and one Capture that fires
// them all, its pictures grouped under the shot with its skew and the camera that refused.
test('a rig shows every camera, sets each, and groups a shot by camera with its skew', async () => {
  const dir = path.join(outputDir, 'rig');
  const rig = new ServeSession(dir, [...command, '--device', 'all', '--names', windowsPath(path.join(dir, 'names.json'))],
    'module Type0001\ncamera 1 release-latency-ms=300 name=D850\ncamera 2 name=D850\nmodule Type0023\ncamera 3 name=Z 7\n');
  try {
    await rig.start();
    const page = await rig.openPage();
    page.on('pageerror', (error) => assert.fail('the page threw: ' + error.message));
    await page.click('#liveview');
    await eventually('live view of every camera', () => page.evaluate(() =>
      [257, 258, 5891].every((id) => window.lbStats.framesBy[id] >= 5)));
    await page.click('.camera[data-device="5891"]');
    assert.deepEqual([await page.textContent('.camera[data-device="5891"]'), await page.textContent('#chosen-name')],
      ['Z 7 · 5891', 'Z 7 · 5891']);

    // The refusal comes before the dial, so the camera has it once the dial shows.
    rig.control('habit refused-start on 2');
    rig.control('dial aperture 6 2');
    const aperture = '.setting[data-setting="aperture"]';
    await page.waitForSelector(aperture + '.differs', { timeout: 15000 });
    assert.match(await page.textContent(aperture + ' .values'), /^D850-257 f\/4 · D850-258 f\/16 · Z 7-5891 f\/4$/);
    await page.click('button[data-setting="aperture"][data-index="5"]');
    await eventually('every camera at f/11', () => page.evaluate((row) => !document.querySelector(row + '.differs') &&
      document.querySelector(row + ' .name').textContent.endsWith('f/11'), aperture));

    await page.click('#capture');
    await page.waitForSelector('.shot .problem', { timeout: 15000 });
    const shotPictures = () => page.locator('.shot .tile[data-state="complete"]').count();
    await eventually('both pictures of the shot', async () => (await shotPictures()) === 2);
    assert.match(await page.textContent('.shot .problem'), /^D850-258 did not fire: .*busy/);
    // The skew's value is the rig steps' (checked under Wine); the page shows who fired when.
    assert.match(await page.textContent('.shot .skew'), /^skew \d+ ms \(fired at D850-257 \d+, Z 7-5891 \d+ ms\)$/);
    const captions = await page.locator('.shot .caption').allTextContents();
    assert.deepEqual(captions.map((c) => c.split(':')[0]).sort(), ['D850-257', 'Z 7-5891']);
    await page.screenshot({ path: path.join(dir, 'serve-rig.png'), fullPage: true });
    // A page opened later shows the shot as grouped.
    await page.reload();
    await page.waitForSelector('.shot .skew', { timeout: 10000 });
    assert.equal(await shotPictures(), 2);
  } finally {
    assert.equal(await rig.stop(), 0, 'the rig\'s lbhost serve ends in order');
  }
});
