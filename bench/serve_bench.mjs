// lbhost serve's three figures, measured in the page in headless Chromium against lbhost
// under Wine on a simulated camera whose link carries RATE MB/s:
//   1. live-view frames a second drawn in the page;
//   2. the time from a tap on Capture to the picture decoded in the page, against the
//      picture's time on the link;
//   3. lbhost's memory while a client that asked for live view reads nothing for 60 s (and
//      the rate the page keeps meanwhile).
//
//   node bench/serve_bench.mjs OUTPUT_DIR STALL-SECONDS EMULATOR... LBHOST_EXE
import fs from 'node:fs';
import net from 'node:net';

import { ServeSession, eventually, sleep } from '../tests/browser/serve_session.mjs';

const RATE = 1;  // MB/s: a 0.2 MB JPEG then takes about 200 ms on the link
const [outputDir, stallText, ...command] = process.argv.slice(2);
const stallSeconds = Number(stallText) || 60;
const session = new ServeSession(outputDir, command, 'module Type0001\ncamera 1 name=D850 habits=slow-link rate=' +
  RATE + '\n');
const met = (ok) => (ok ? 'met' : 'MISSED');
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
let failed = false;

// The resident memory of the session's `name`, in MB; 0 when it cannot be read.
const residentMegabytes = (name) => {
  const pid = session.processId(name);
  const match = pid && /VmRSS:\s+(\d+) kB/.exec(fs.readFileSync('/proc/' + pid + '/status', 'utf8'));
  return match ? Number(match[1]) / 1024 : 0;
};

try {
  await session.start();
  const page = await session.openPage();
  const frames = () => page.evaluate(() => window.lbStats.frames);
  const rateOver = async (seconds) => {
    const from = await frames();
    await sleep(seconds * 1000);
    return ((await frames()) - from) / seconds;
  };

  await page.click('#liveview');
  await eventually('live view in the page', async () => (await frames()) >= 10, 20000);
  const rate = await rateOver(10);
  console.log('lbhost serve: live-view frames a second drawn in the page: ' + rate.toFixed(1) +
    ' (target at least 9): ' + met(rate >= 9));

  const pictureMs = [];
  const wireMs = [];
  for (let shot = 0; shot < 5; shot++) {
    const measured = await page.evaluate(async () => {
      const done = () => document.querySelectorAll('.tile[data-state="complete"] img').length;
      const before = done();
      const start = performance.now();
      document.getElementById('capture').click();
      for (;;) {
        await new Promise((resolve) => setTimeout(resolve, 5));
        const image = document.querySelector('.tile[data-state="complete"] img');
        if (done() > before && image.complete && image.naturalWidth > 0) {
          const ms = performance.now() - start;
          const bytes = (await (await fetch(image.src)).blob()).size;
          return { ms, bytes };
        }
        if (performance.now() - start > 20000) return { ms: -1, bytes: 0 };
      }
    });
    if (measured.ms < 0) throw new Error('a capture did not reach the page within 20 s');
    pictureMs.push(measured.ms);
    wireMs.push(measured.bytes / (RATE * 1000));
    await sleep(300);
  }
  const took = median(pictureMs);
  const wire = median(wireMs);
  console.log('lbhost serve: Capture tapped to the picture in the page, median of 5: ' + took.toFixed(0) + ' ms against ' +
    wire.toFixed(0) + ' ms on the link at ' + RATE + ' MB/s, ' + (took / wire).toFixed(2) +
    'x (target within 300 ms of the link): ' + met(took - wire <= 300));

  // A client that asks for live view and then reads nothing: its socket's buffers fill, lbhost
  // drops its frames and finally the client, and keeps serving the page.
  const stalled = net.connect(session.port, '127.0.0.1');
  stalled.on('error', () => {});
  stalled.write('GET /' + session.token + '/live.mjpg HTTP/1.1\r\nHost: 127.0.0.1:' + session.port + '\r\n\r\n');
  stalled.pause();
  await sleep(2000);
  const before = residentMegabytes('lbhost.exe');
  const during = await rateOver(stallSeconds - 4);
  await sleep(2000);
  const after = residentMegabytes('lbhost.exe');
  stalled.destroy();
  if (!before || !after) throw new Error('lbhost.exe\'s memory could not be read');
  console.log('lbhost serve: its memory while a client reads nothing for ' + stallSeconds + ' s: ' + before.toFixed(1) +
    ' MB at 2 s, ' + after.toFixed(1) + ' MB at ' + stallSeconds + ' s; the page meanwhile ' + during.toFixed(1) +
    ' frames a second (target flat within 2 MB, the page at least 9): ' + met(after - before <= 2 && during >= 9));
} catch (e) {
  console.log('lbhost serve: could not be measured: ' + e.message);
  failed = true;
} finally {
  await session.stop();
}
process.exit(failed ? 1 : 0);
