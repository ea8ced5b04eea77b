// Shared by the client's tests: stand-in helpers, the real helpers' paths,
// a private sound server and a little PCM analysis.
import { execFileSync, spawn } from 'node:child_process';
import { chmodSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const clientDir = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
export const repoDir = path.dirname(clientDir);
const buildDir = process.env.VELKO_BUILD_DIR ?? path.join(repoDir, 'build', 'release');

export const helpers = {
    recorder: process.env.VELKO_RECORDER ?? path.join(buildDir, 'recorder', 'velko-recorder'),
    inputSentry: process.env.VELKO_INPUT_SENTRY ?? path.join(buildDir, 'input-sentry', 'velko-input-sentry'),
    pointerSentry: process.env.VELKO_POINTER_SENTRY ?? path.join(buildDir, 'pointer-sentry', 'velko-pointer-sentry'),
    notifyPrefs: process.env.VELKO_NOTIFY_PREFS ?? path.join(buildDir, 'notify-prefs', 'velko-notify-prefs.node'),
};

export function tempDir(t, prefix = 'velko-client-') {
    const dir = mkdtempSync(path.join(tmpdir(), prefix));
    t.after(() => rmSync(dir, { recursive: true, force: true }));
    return dir;
}

// An executable node script that speaks to the client as a helper would,
// well or badly. `body` runs with `out`, `err` (write helpers that wait for
// the bytes to be taken) and `sleep` in scope.
export function standIn(dir, name, body) {
    const file = path.join(dir, name);
    writeFileSync(
        file,
        `#!${process.execPath}
const fs = require('node:fs');
const write = (stream, data) => new Promise((resolve) => stream.write(data, resolve));
const out = (data) => write(process.stdout, data);
const err = (data) => write(process.stderr, data);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const stdinEnded = new Promise((resolve) => { process.stdin.on('end', resolve); process.stdin.resume(); });
(async () => {
${body}
})();
`,
    );
    chmodSync(file, 0o755);
    return file;
}

export const readyLine = '{"event":"ready","sampleRate":48000.0,"channels":2,"format":"s16le","chunkMs":200,"inputBufferChannels":[2,1]}\n';

// Resolves with the arguments of the next `event` of `emitter`, or rejects
// after `ms` (a loaded machine gets generous time).
export function next(emitter, event, ms = 20000) {
    return new Promise((resolve, reject) => {
        const timer = setTimeout(() => {
            emitter.off(event, listener);
            reject(new Error(`no "${event}" within ${ms} ms`));
        }, ms);
        const listener = (...args) => {
            clearTimeout(timer);
            resolve(args);
        };
        emitter.once(event, listener);
    });
}

export async function until(condition, ms = 20000, what = 'condition') {
    const deadline = Date.now() + ms;
    while (!condition()) {
        if (Date.now() > deadline) throw new Error(`${what} not reached within ${ms} ms`);
        await new Promise((resolve) => setTimeout(resolve, 20));
    }
}

// A private PulseAudio server for this test file; its environment is put
// into process.env so that the helpers the client starts find it. Returns
// the function that stops it.
export function startSoundServer() {
    const dir = mkdtempSync(path.join(tmpdir(), 'velko-sound.'));
    const script = path.join(repoDir, 'scripts', 'sound-server');
    const out = execFileSync(script, ['start', 'pulseaudio', dir, '--owner', String(process.pid), '--warm'], {
        encoding: 'utf8',
    });
    const env = {};
    for (const line of out.split('\n').filter(Boolean)) {
        const eq = line.indexOf('=');
        env[line.slice(0, eq)] = line.slice(eq + 1);
    }
    for (const name of ['DISPLAY', 'WAYLAND_DISPLAY', 'PULSE_RUNTIME_PATH']) delete process.env[name];
    Object.assign(process.env, env);
    return () => execFileSync(script, ['stop', dir]);
}

// A tone of `hz` into a sink for `seconds`, at half of full scale.
export function playTone(sink, hz, seconds) {
    const child = spawn(
        '/bin/sh',
        [
            '-c',
            `sox -n -t raw -r 48000 -e float -b 32 -c 1 - synth ${seconds} sine ${hz} vol 0.5 | ` +
                `pacat --raw --format=float32le --rate=48000 --channels=1 --latency-msec=20 -d ${sink}`,
        ],
        { stdio: 'ignore' },
    );
    return new Promise((resolve) => child.on('close', resolve));
}

// Both channels of interleaved s16le stereo as floats in -1..1.
export function decodeStereo(bytes) {
    const frames = Math.floor(bytes.length / 4);
    const left = new Float32Array(frames);
    const right = new Float32Array(frames);
    for (let i = 0; i < frames; i++) {
        left[i] = bytes.readInt16LE(4 * i) / 32768;
        right[i] = bytes.readInt16LE(4 * i + 2) / 32768;
    }
    return { left, right, frames };
}

export function rms(samples, from, count) {
    let sum = 0;
    for (let i = from; i < from + count; i++) sum += samples[i] * samples[i];
    return Math.sqrt(sum / count);
}

// The frequency, in 5 Hz steps from 100 to 4000 Hz, with the most power.
export function dominantFrequency(samples, from, count, rate) {
    let best = 0;
    let bestPower = -1;
    for (let hz = 100; hz <= 4000; hz += 5) {
        const w = (2 * Math.PI * hz) / rate;
        let re = 0;
        let im = 0;
        for (let i = 0; i < count; i++) {
            re += samples[from + i] * Math.cos(w * i);
            im += samples[from + i] * Math.sin(w * i);
        }
        const power = re * re + im * im;
        if (power > bestPower) {
            bestPower = power;
            best = hz;
        }
    }
    return best;
}

// The first frame from which the samples stay above `level` RMS for 20 ms.
export function onset(samples, rate, level) {
    const window = Math.round(rate / 50);
    for (let i = 0; i + window <= samples.length; i += window / 4) {
        if (rms(samples, i, window) > level) return i;
    }
    return samples.length;
}

// End what a test started even when the test fails half way, so that no
// helper is left to keep the test process alive.
export async function started(t, starting) {
    const recorder = await starting;
    t.after(() => recorder.stop({ timeoutMs: 500, killTimeoutMs: 500 }));
    return recorder;
}

export function watched(t, watcher) {
    t.after(() => watcher.close());
    return watcher;
}

// A private Xvfb for one test file, on the display it picks itself. Returns
// its name (":N") and the function that stops it.
export async function startXServer() {
    const server = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1280x800x24', '-nolisten', 'tcp', '-noreset'], {
        stdio: ['ignore', 'ignore', 'ignore', 'pipe'],
    });
    let text = '';
    const name = await new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error('Xvfb gave no display within 20 s')), 20000);
        server.on('error', reject);
        server.stdio[3].on('data', (chunk) => {
            text += chunk;
            if (text.includes('\n')) {
                clearTimeout(timer);
                resolve(`:${text.trim()}`);
            }
        });
    });
    return { name, stop: () => server.kill('SIGKILL') };
}
