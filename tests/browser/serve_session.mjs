// What the browser test and the benchmark share: lbhost serve started under Wine on the
// simulated camera in a folder of the run's own, and the system's Chromium driven by
// playwright-core with a fresh profile. Exits 77 (skipped, to CTest) when Chromium or
// playwright-core is not installed.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';

export const CHROMIUM = '/usr/bin/chromium';
const skip = (what) => {
  console.log(what + ' is not installed (scripts/bootstrap installs it): skipped');
  process.exit(77);
};
const { chromium } = await import('playwright-core').catch(() => skip('playwright-core'));
if (!fs.existsSync(CHROMIUM)) skip(CHROMIUM);

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Waits until `condition` (which may be async) holds; throws naming `what` when it never does.
export async function eventually(what, condition, ms = 15000) {
  for (const until = Date.now() + ms; !(await condition());) {
    if (Date.now() > until) throw new Error('never happened within ' + ms + ' ms: ' + what);
    await sleep(50);
  }
}

// A free port on the loopback, so that a run beside another one does not collide.
const freePort = () => new Promise((resolve) => {
  const server = net.createServer().listen(0, '127.0.0.1', () => {
    const { port } = server.address();
    server.close(() => resolve(port));
  });
});

// One plain HTTP request with the headers given: the status and the body.
export const request = (port, method, target, headers = {}, body = '') => new Promise((resolve, reject) => {
  http.request({ host: '127.0.0.1', port, method, path: target, headers, agent: false }, (res) => {
    let text = '';
    res.on('data', (chunk) => { text += chunk; }).on('end', () => resolve({ status: res.statusCode, body: text }));
  }).on('error', reject).end(body);
});

export const windowsPath = (p) => 'Z:' + path.resolve(p).replaceAll('/', '\\');

export class ServeSession {
  // `command` runs a Windows program (the emulator's words, then lbhost.exe); `scenario` is
  // the simulator's scenario text, or empty for its built-in one.
  constructor(outputDir, command, scenario = '') {
    this.outputDir = outputDir;
    this.command = command;
    fs.rmSync(outputDir, { recursive: true, force: true });
    fs.mkdirSync(outputDir, { recursive: true });
    this.controlFile = path.join(outputDir, 'control');
    fs.writeFileSync(this.controlFile, '');
    // The simulator logs each move of the lens to lens.log.
    this.lensLog = path.join(outputDir, 'lens.log');
    this.environment = { ...process.env, LBSIM_CONTROL: windowsPath(this.controlFile),
      LBSIM_LENS_LOG: windowsPath(this.lensLog), WINEDEBUG: '-all' };
    if (scenario) {
      fs.writeFileSync(path.join(outputDir, 'scenario'), scenario);
      this.environment.LBSIM_SCENARIO = windowsPath(path.join(outputDir, 'scenario'));
    }
  }

  // Starts lbhost serve and waits for the address it prints.
  async start() {
    this.port = await freePort();
    this.lbhost = spawn(this.command[0], [...this.command.slice(1), 'serve', '--listen', '127.0.0.1:' + this.port,
      '--out', windowsPath(path.join(this.outputDir, 'pictures'))], {
      // A group of its own, so Ctrl+C (SIGINT to the group) reaches lbhost and nothing else.
      detached: true,
      stdio: ['ignore', 'pipe', 'pipe'],
      env: this.environment,
    });
    this.exited = new Promise((resolve) => this.lbhost.on('exit', (code) => resolve(code)));
    let out = '';
    this.lbhost.stdout.on('data', (chunk) => { out += chunk; });
    this.lbhost.stderr.pipe(fs.createWriteStream(path.join(this.outputDir, 'lbhost-stderr.txt')));
    await eventually('lbhost prints its address', () => /open (http:\S+)/.test(out) || this.lbhost.exitCode !== null,
      30000);
    if (this.lbhost.exitCode !== null) throw new Error('lbhost serve ended at once: ' + out);
    this.address = /open (http:\S+)/.exec(out)[1];
    this.token = /\/([0-9a-f]{32})\//.exec(this.address)[1];
  }

  // Chromium with a fresh profile, and its first page at lbhost's address.
  async openPage(viewport = { width: 1280, height: 900 }) {
    this.context = await chromium.launchPersistentContext(fs.mkdtempSync(path.join(this.outputDir, 'profile-')), {
      executablePath: CHROMIUM,
      headless: true,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
      viewport,
    });
    const page = this.context.pages()[0] || await this.context.newPage();
    await page.goto(this.address);
    await page.waitForSelector('#camera-status.good', { timeout: 20000 });
    return page;
  }

  // A simulator control line, read by the simulated camera at its next poll.
  control(line) {
    fs.appendFileSync(this.controlFile, line + '\n');
  }

  // The Linux process id of this session's Windows program `name` (lbhost.exe,
  // lensbridge.exe): the one whose environment names this session's control file.
  processId(name) {
    const ours = execFileSync('pgrep', ['-x', name], { encoding: 'utf8' }).split('\n').filter((pid) => {
      try {
        return pid && fs.readFileSync('/proc/' + pid + '/environ', 'utf8').includes(windowsPath(this.controlFile));
      } catch (e) {
        return false;
      }
    });
    return ours.length === 1 ? Number(ours[0]) : 0;
  }

  // Closes the browser and ends lbhost with Ctrl+C, as a photographer does; the whole group
  // is killed when it does not end. Returns lbhost's exit code, or 'hung'.
  async stop() {
    if (this.context) await this.context.close();
    if (!this.lbhost || this.lbhost.exitCode !== null) return this.lbhost ? this.lbhost.exitCode : 0;
    process.kill(-this.lbhost.pid, 'SIGINT');
    const code = await Promise.race([this.exited, sleep(20000).then(() => 'hung')]);
    if (code === 'hung') {
      // lensbridge.exe runs in a process group of its own and would outlive lbhost's.
      const helper = this.processId('lensbridge.exe');
      process.kill(-this.lbhost.pid, 'SIGKILL');
      if (helper) process.kill(helper, 'SIGKILL');
    }
    return code;
  }
}
