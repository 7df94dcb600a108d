// Starts what the page tests need, on free ports in a temporary folder, and stops all of it:
// three virtual projectors with a command log, the service on them, and Debian's chromium.
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync, existsSync } from 'node:fs';
import { request } from 'node:http';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { randomBytes } from 'node:crypto';
import { createInterface } from 'node:readline';
import puppeteer from 'puppeteer-core';
import { check } from './contract.mjs';

const chromium = '/usr/bin/chromium';

function program(variable) {
  const path = process.env[variable];
  if (!path || !existsSync(path)) throw new Error(`${variable} must name the program (ctest sets it)`);
  return path;
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Polls `probe` until it gives something truthy; the last failure explains a time-out.
export async function waitFor(what, probe, timeoutMs, everyMs = 50) {
  const until = Date.now() + timeoutMs;
  let last;
  for (;;) {
    try {
      const value = await probe();
      if (value) return value;
    } catch (error) {
      last = error;
    }
    if (Date.now() > until) throw new Error(`no ${what} within ${timeoutMs} ms${last ? `: ${last.message}` : ''}`);
    await new Promise((resolve) => setTimeout(resolve, everyMs));
  }
}

function exited(child) {
  return child.exitCode !== null || child.signalCode !== null;
}

async function stop(child) {
  if (!child || exited(child)) return;
  const gone = new Promise((resolve) => child.once('exit', resolve));
  child.kill('SIGTERM');
  const timer = setTimeout(() => child.kill('SIGKILL'), 3000);
  await gone;
  clearTimeout(timer);
}

export class Rig {
  constructor() {
    this.dir = mkdtempSync(join(tmpdir(), 'mero-browser-'));
    this.commandLog = join(this.dir, 'commands.log');
    this.token = randomBytes(18).toString('base64url'); // 24 characters
    this.ids = ['p1', 'p2', 'p3'];
    this.children = [];
  }

  async start() {
    const projectors = spawn(program('MERO_VIRTUAL_PROJECTOR'), ['--count', '3', '--warm-up', '2000',
      '--cool-down', '2000', '--command-log', this.commandLog], { stdio: ['ignore', 'pipe', 'inherit'] });
    this.projectors = projectors;
    this.children.push(projectors);
    const lines = createInterface({ input: projectors.stdout });
    const paths = [];
    lines.on('line', (line) => paths.push(line));
    await waitFor('device paths', () => {
      if (exited(projectors)) throw new Error(`virtual projectors exited ${projectors.exitCode}`);
      return paths.length === 3;
    }, 5000, 20).finally(() => lines.close());
    const tokenFile = join(this.dir, 'token');
    writeFileSync(tokenFile, `${this.token}\n`, { mode: 0o600 });
    this.port = await freePort();
    const sections = [];
    for (const [i, id] of this.ids.entries()) {
      sections.push(`[${id}]\naddress = ${paths[i]}\nname = Room ${i + 1}\npjlink = 127.0.0.1:${await freePort()}\n`);
    }
    this.config = join(this.dir, 'serve.conf');
    writeFileSync(this.config, `[service]\nmetrics = 127.0.0.1:${this.port}\npoll-interval = 5\n` +
      `token-file = ${tokenFile}\n\n${sections.join('\n')}`);
    const service = spawn(program('MERO_CTL'), ['serve', '--config', this.config],
      { stdio: ['ignore', 'inherit', 'inherit'] });
    this.service = service;
    this.children.push(service);
    await waitFor('service', async () => {
      if (exited(service)) throw new Error(`the service exited ${service.exitCode}`);
      const answer = await this.raw('GET', '/api/v1/projectors');
      return answer.status === 200 && JSON.parse(answer.body).projectors.every((p) => p.lastPoll);
    }, 15000, 100);
    this.browser = await puppeteer.launch({
      executablePath: chromium,
      headless: true,
      args: process.getuid?.() === 0 ? ['--no-sandbox'] : [],
    });
  }

  get origin() {
    return `http://127.0.0.1:${this.port}`;
  }

  // One HTTP exchange, as node sends it, without checking.
  raw(method, path, { headers = {}, body } = {}) {
    return new Promise((resolve, reject) => {
      const sent = request(`${this.origin}${path}`, { method, headers }, (response) => {
        let text = '';
        response.setEncoding('utf8');
        response.on('data', (chunk) => { text += chunk; });
        response.on('end', () => resolve({ status: response.statusCode, headers: response.headers, body: text }));
      });
      sent.on('error', reject);
      sent.setTimeout(10000, () => sent.destroy(new Error(`${method} ${path}: no answer`)));
      sent.end(body);
    });
  }

  // One exchange, checked against the document for the operation `template` names.
  async api(method, path, template, { token, origin, body = method === 'POST' ? '{}' : undefined } = {}) {
    const headers = {};
    if (token) headers.authorization = `Bearer ${token}`;
    if (origin) headers.origin = origin;
    if (body !== undefined) headers['content-type'] = 'application/json';
    const answer = await this.raw(method, path, { headers, body });
    return { ...answer, json: check(method, template, answer) };
  }

  // The command log as [{ at, device, command }].
  commands() {
    if (!existsSync(this.commandLog)) return [];
    return readFileSync(this.commandLog, 'utf8').split('\n').filter(Boolean).map((line) => {
      const [at, device, command] = line.split('\t');
      return { at: Number(at), device: Number(device), command };
    });
  }

  async stopProjectors() {
    await stop(this.projectors);
  }

  async stop() {
    await this.browser?.close().catch(() => {});
    for (const child of this.children.reverse()) await stop(child);
    rmSync(this.dir, { recursive: true, force: true });
  }
}
