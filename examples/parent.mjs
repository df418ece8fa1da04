#!/usr/bin/env node
// What a captioning application does with kestravo-core-audio-capture.
//
//   parent.mjs --device NAME --out FILE.wav [--channels 0,1] [--seconds 30]
//              [--restarts N] [--tool PATH]
//
// Lists the devices, picks one by name, captures it into a WAV file while a
// level meter runs on the terminal, starts again when the device comes back
// after a loss (at most N times), and stops at the deadline or on Ctrl-C by
// closing the tool's standard input. Exit status: 0 when something was
// captured, 1 when the capture could not start. Node.js 18 or later, no
// packages.

import { spawn, spawnSync } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { closeSync, openSync, unlinkSync, writeSync } from 'node:fs';
import { createInterface } from 'node:readline';
import { parseArgs } from 'node:util';

const READY_TIMEOUT_MS = 5000; // the tool is ready or has failed within 2.5 s
const EXIT_TIMEOUT_MS = 2000; // it exits within 100 ms of its standard input closing

// The listing's devices; [] when there is none (or the tool is missing).
function listDevices(tool) {
  const done = spawnSync(tool, ['--list'], { stdio: ['ignore', 'pipe', 'pipe'], timeout: 10000 });
  try {
    return JSON.parse(done.stdout.toString()).drivers;
  } catch {
    return [];
  }
}

// 16-bit PCM into a WAV file; the header is written when it is closed.
class Wav {
  constructor(path) {
    this.fd = openSync(path, 'w');
    writeSync(this.fd, Buffer.alloc(44));
    this.data = 0;
    this.format = null; // {rate, channels}, from the first ready record
  }
  write(pcm) {
    writeSync(this.fd, pcm);
    this.data += pcm.length;
  }
  close() {
    const { rate, channels } = this.format;
    const h = Buffer.alloc(44);
    h.write('RIFF', 0);
    h.writeUInt32LE(36 + this.data, 4);
    h.write('WAVEfmt ', 8);
    h.writeUInt32LE(16, 16);
    h.writeUInt16LE(1, 20);
    h.writeUInt16LE(channels, 22);
    h.writeUInt32LE(rate, 24);
    h.writeUInt32LE(rate * channels * 2, 28);
    h.writeUInt16LE(channels * 2, 32);
    h.writeUInt16LE(16, 34);
    h.write('data', 36);
    h.writeUInt32LE(this.data, 40);
    writeSync(this.fd, h, 0, 44, 0);
    closeSync(this.fd);
  }
}

// One line of peak meters, redrawn in place; only on a terminal.
function meter(levels) {
  if (!process.stderr.isTTY) return;
  const bar = (p) => '#'.repeat(Math.round(p * 20)).padEnd(20, '.');
  process.stderr.write('\r' + levels.peak.map(bar).join(' '));
}

// One run of the tool; resolves to "lost", "stopped" or a failure's message.
function capture(tool, name, channels, rate, wav, stop) {
  const args = ['--driver', name, '--channels', channels.join(',')];
  // An integer: "48000.0" would mean no rate.
  if (rate) args.push('--sample-rate', String(rate));
  // A process group of its own: Ctrl-C in the terminal reaches only us, and
  // we stop the tool through its standard input.
  const child = spawn(tool, args, { stdio: ['pipe', 'pipe', 'pipe'], detached: true });
  return new Promise((resolve) => {
    let outcome = 'stopped';
    let ready = false;
    let ended = false;
    const end = (why) => {
      if (ended) return;
      ended = true;
      outcome = why;
      clearTimeout(readyTimer);
      stop.removeListener('stop', onStop);
      child.stdin.end();
      setTimeout(() => child.kill('SIGKILL'), EXIT_TIMEOUT_MS).unref();
    };
    const onStop = () => end('stopped');
    stop.once('stop', onStop);
    const readyTimer = setTimeout(() => end('no ready record'), READY_TIMEOUT_MS);
    child.on('error', (e) => end(e.message));
    child.stdin.on('error', () => {}); // the tool may be gone already
    // PCM may come before the ready record: it is kept all the same.
    child.stdout.on('data', (pcm) => wav.write(pcm));
    createInterface({ input: child.stderr }).on('line', (line) => {
      let record;
      try {
        record = JSON.parse(line);
      } catch {
        return; // not a record (the simulated host's own failure)
      }
      if (record.type === 'ready') {
        ready = true;
        clearTimeout(readyTimer);
        const format = { rate: Math.round(record.sampleRate), channels: record.channels };
        if (!wav.format) wav.format = format;
        else if (wav.format.rate !== format.rate || wav.format.channels !== format.channels) {
          end('the device came back in another format');
        }
      } else if (record.type === 'levels') {
        meter(record);
      } else if (record.code === 'device_disconnected') {
        end('lost'); // no more PCM may come: stop this run, list again
      } else {
        end(`${record.code}: ${record.message}`); // fatal: the tool exits 1
      }
    });
    child.on('close', () => {
      if (!ended && !ready) outcome = 'the tool exited before it was ready';
      end(outcome);
      resolve(outcome);
    });
  });
}

async function main() {
  const { values: o } = parseArgs({
    options: {
      device: { type: 'string' },
      out: { type: 'string' },
      channels: { type: 'string', default: '0' },
      seconds: { type: 'string', default: '30' },
      restarts: { type: 'string', default: '1000' },
      tool: { type: 'string', default: 'kestravo-core-audio-capture' },
    },
  });
  if (!o.device || !o.out) {
    console.error('usage: parent.mjs --device NAME --out FILE.wav [options]');
    return 2;
  }
  const channels = o.channels.split(',').map(Number);
  // One emitter for the deadline and Ctrl-C.
  const stop = new EventEmitter();
  stop.stopped = false;
  const stopAll = () => {
    stop.stopped = true;
    stop.emit('stop');
  };
  process.on('SIGINT', stopAll);
  process.on('SIGTERM', stopAll);
  setTimeout(stopAll, Number(o.seconds) * 1000).unref();

  if (!listDevices(o.tool).some((d) => d.name === o.device)) {
    console.error(`parent: no device named '${o.device}'`);
    return 1;
  }
  const wav = new Wav(o.out);
  for (let restarts = 0; ; ++restarts) {
    const outcome = await capture(o.tool, o.device, channels, wav.format?.rate, wav, stop);
    console.error(`${process.stderr.isTTY ? '\n' : ''}parent: capture ${outcome}`);
    if (outcome !== 'lost' || restarts === Number(o.restarts) || stop.stopped) break;
    // Start again when the device is listed again.
    do await new Promise((r) => setTimeout(r, 500));
    while (!stop.stopped && !listDevices(o.tool).some((d) => d.name === o.device));
    if (stop.stopped) break;
  }
  if (!wav.format) { // never ready: nothing worth keeping
    closeSync(wav.fd);
    unlinkSync(o.out);
    return 1;
  }
  wav.close();
  console.error(`parent: ${wav.data} bytes in ${o.out}`);
  return 0;
}

process.exitCode = await main();
