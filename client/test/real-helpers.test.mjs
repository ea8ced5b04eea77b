// The client against the real helpers: on a private PulseAudio server, tones
// played into the two null sinks come out on the right channels, WAV files
// read back, every way of stopping, microphone-use changes and the refusal
// of a recorder without a server; on a private Xvfb, clicks on the bare
// desktop; and the notification settings addon.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import {
    getNotificationSettings,
    HelperError,
    recordToWav,
    startRecorder,
    watchDesktopClicks,
    watchMicrophoneUse,
} from '../dist/esm/index.js';
import {
    clientDir,
    decodeStereo,
    dominantFrequency,
    helpers,
    next,
    onset,
    playTone,
    rms,
    startSoundServer,
    startXServer,
    started,
    tempDir,
    until,
    watched,
} from './support.mjs';

const binary = helpers.recorder;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The microphone's 440 Hz on the left, the system's 1000 Hz on the right.
function assertTones(pcm, rate) {
    const tenth = Math.round(rate / 10);
    for (const [channel, hz] of [[pcm.left, 440], [pcm.right, 1000]]) {
        const start = onset(channel, rate, 0.05);
        assert.ok(start + 6 * tenth < pcm.frames, `${hz} Hz tone missing`);
        const from = start + 2 * tenth;
        assert.ok(rms(channel, from, 4 * tenth) > 0.2, `${hz} Hz clearly above silence`);
        assert.ok(Math.abs(dominantFrequency(channel, from, 4 * tenth, rate) - hz) <= 10, `${hz} Hz found`);
    }
}

describe('on a private sound server', () => {
    let stopServer;
    before(() => (stopServer = startSoundServer()));
    after(() => stopServer?.());

    test('a recording: microphone left, system audio right, stopped through standard input', async (t) => {
        const recorder = await started(t, startRecorder({ binary, sampleRate: 44100, chunkMs: 50 }));
        assert.deepEqual([recorder.sampleRate, recorder.channels, recorder.format, recorder.chunkMs], [44100, 2, 's16le', 50]);
        assert.deepEqual(recorder.inputBufferChannels, [2, 1]);
        const chunks = [];
        recorder.pcm.on('data', (chunk) => chunks.push(chunk));
        await sleep(300);
        await Promise.all([playTone('micfeed', 440, 1.5), playTone('speakers', 1000, 1.5)]);
        const summary = await recorder.stop();

        const bytes = Buffer.concat(chunks);
        assert.equal(summary.stopped, true);
        assert.equal(summary.exitCode, 0);
        assert.equal(summary.forced, null);
        assert.equal(summary.frames * 4, bytes.length, 'every frame written reached the stream');
        assert.equal(summary.seconds, summary.frames / 44100);
        assert.ok(summary.seconds > 1.5, `${summary.seconds} s recorded`);
        const pcm = decodeStereo(bytes);
        assert.ok(rms(pcm.left, 0, 4410) < 0.01 && rms(pcm.right, 0, 4410) < 0.01, 'silence before the tones');
        assertTones(pcm, 44100);
    });

    test('recordToWav: a valid header, the length asked for, and the same tones', async (t) => {
        const file = path.join(tempDir(t), 'meeting.wav');
        const tones = Promise.all([playTone('micfeed', 440, 2.5), playTone('speakers', 1000, 2.5)]);
        const summary = await recordToWav(file, { binary, seconds: 2, sampleRate: 16000 });
        await tones;
        const wav = readFileSync(file);
        const frames = 2 * 16000;
        assert.equal(wav.length, 44 + 4 * frames);
        assert.deepEqual(
            {
                riff: wav.toString('ascii', 0, 4),
                riffSize: wav.readUInt32LE(4),
                wave: wav.toString('ascii', 8, 16),
                fmtSize: wav.readUInt32LE(16),
                pcm: wav.readUInt16LE(20),
                channels: wav.readUInt16LE(22),
                rate: wav.readUInt32LE(24),
                byteRate: wav.readUInt32LE(28),
                blockAlign: wav.readUInt16LE(32),
                bits: wav.readUInt16LE(34),
                data: wav.toString('ascii', 36, 40),
                dataSize: wav.readUInt32LE(40),
            },
            {
                riff: 'RIFF', riffSize: 36 + 4 * frames, wave: 'WAVEfmt ', fmtSize: 16, pcm: 1, channels: 2,
                rate: 16000, byteRate: 64000, blockAlign: 4, bits: 16, data: 'data', dataSize: 4 * frames,
            },
        );
        assert.deepEqual([summary.frames, summary.seconds, summary.stopped, summary.exitCode], [frames, 2, true, 0]);
        assertTones(decodeStereo(wav.subarray(44)), 16000);
    });

    test('an abort stops the recorder in order; a killed recorder is reported and stop() resolves at once', async (t) => {
        const controller = new AbortController();
        const aborted = await started(t, startRecorder({ binary, signal: controller.signal }));
        aborted.pcm.resume();
        await sleep(300);
        const exit = next(aborted, 'exit');
        controller.abort();
        const [summary] = await exit;
        assert.deepEqual([summary.stopped, summary.exitCode, summary.forced], [true, 0, null]);
        assert.ok(summary.frames > 0);
        assert.equal(await aborted.stop(), summary);

        const killed = await started(t, startRecorder({ binary }));
        killed.pcm.resume();
        const died = next(killed, 'error');
        const ended = next(killed, 'exit');
        process.kill(killed.pid, 'SIGKILL');
        const [[error], [after]] = await Promise.all([died, ended]);
        assert.ok(error instanceof HelperError);
        assert.deepEqual([error.code, error.signal, error.exitCode], ['exited', 'SIGKILL', null]);
        const since = Date.now();
        const stopped = await killed.stop();
        assert.ok(Date.now() - since < 100, 'no wait for a recorder that is gone');
        assert.equal(stopped, after);
        assert.deepEqual([stopped.stopped, stopped.signal, stopped.forced], [false, 'SIGKILL', null]);
    });

    test('microphone-use changes as a parecord starts and stops', async (t) => {
        const watcher = watched(t, watchMicrophoneUse({ dir: path.dirname(helpers.inputSentry), intervalMs: 200 }));
        const changes = [];
        watcher.on('change', (users) => changes.push(users));
        await until(() => watcher.reported, 20000, 'the first report');
        const before = changes.length;
        const parecord = spawn('parecord', ['--raw', '-d', 'micfeed.monitor', '/dev/null'], { stdio: 'ignore' });
        t.after(() => parecord.kill());
        const mine = (users) => users.find((user) => user.pid === parecord.pid);
        await until(() => changes.length > before && mine(changes.at(-1)), 20000, 'parecord listed');
        const entry = mine(watcher.current);
        assert.equal(entry.preexisting, false);
        assert.equal(entry.deviceUID, 'micfeed.monitor');
        assert.equal(typeof entry.bundleId, 'string');
        const listed = changes.length;
        await sleep(700);
        assert.equal(changes.length, listed, 'no change event while the set stays the same');
        parecord.kill();
        await until(() => changes.length > listed && !mine(changes.at(-1)), 20000, 'parecord gone');
        await watcher.close();
    });

    test('without a sound server the start rejects with "no_input_device"', async (t) => {
        const saved = process.env.PULSE_SERVER;
        process.env.PULSE_SERVER = `unix:${path.join(tempDir(t), 'no-server')}`;
        const starting = startRecorder({ binary });
        process.env.PULSE_SERVER = saved;
        const error = await starting.catch((e) => e);
        assert.ok(error instanceof HelperError);
        assert.deepEqual([error.code, error.exitCode], ['no_input_device', 1]);
        assert.equal(error.message, 'no default input device');
        assert.equal(typeof error.osstatus, 'number');
    });
});

describe('the other helpers', () => {
    test('the pointer sentry without a display refuses with "monitor"', async (t) => {
        const saved = process.env.DISPLAY;
        delete process.env.DISPLAY;
        const watcher = watched(t, watchDesktopClicks({ binary: helpers.pointerSentry }));
        if (saved !== undefined) process.env.DISPLAY = saved;
        const [[error], [exit]] = await Promise.all([next(watcher, 'error'), next(watcher, 'exit')]);
        assert.deepEqual([error.code, error.message, error.exitCode], ['monitor', 'could not install the global mouse monitor', 1]);
        assert.deepEqual(exit, { exitCode: 1, signal: null });
    });

    test('a refused command line reaches the watcher as an error with the helper\'s code', async (t) => {
        const watcher = watched(t, watchMicrophoneUse({ binary: helpers.inputSentry, intervalMs: 100 }));
        const [[error], [exit]] = await Promise.all([next(watcher, 'error'), next(watcher, 'exit')]);
        assert.deepEqual(
            [error.code, error.message, error.exitCode],
            ['bad_args', '--interval-ms needs an integer between 200 and 10000', 1],
        );
        assert.deepEqual(exit, { exitCode: 1, signal: null });
        assert.equal(watcher.reported, false);
    });

    test('desktop clicks on a private X server, with xdotool on its bare root window', async (t) => {
        const server = await startXServer();
        t.after(server.stop);
        const env = { ...process.env, DISPLAY: server.name };
        const saved = process.env.DISPLAY;
        process.env.DISPLAY = server.name;
        const watcher = watched(t, watchDesktopClicks({ binary: helpers.pointerSentry }));
        if (saved === undefined) delete process.env.DISPLAY;
        else process.env.DISPLAY = saved;
        let clicks = 0;
        watcher.on('click', () => clicks++);
        await next(watcher, 'ready');
        const xdotool = (...args) => execFileSync('xdotool', args, { env });
        xdotool('mousemove', '640', '400', 'click', '--delay', '0', '1');
        await until(() => clicks === 1, 20000, 'a left click');
        // A drag: the right click shows that the left press has been taken
        // before the pointer moves; the last right click must count, and
        // comes after the drag's release has been judged.
        xdotool('mousedown', '1', 'click', '--delay', '0', '3');
        await until(() => clicks === 2, 20000, 'a right click');
        xdotool('mousemove_relative', '--', '40', '0', 'mouseup', '1', 'click', '--delay', '0', '3');
        await until(() => clicks >= 3, 20000, 'the click after the drag');
        await sleep(300);
        assert.equal(clicks, 3, `the drag is no click (${clicks} clicks)`);
        const exited = next(watcher, 'exit');
        await watcher.close();
        assert.deepEqual((await exited)[0], { exitCode: 0, signal: null });
    });

    test('the notification settings come from the addon, once per process for both builds', async () => {
        const expected = { message: 'no-bundle: this process has no bundle identifier' };
        await assert.rejects(getNotificationSettings({ addon: helpers.notifyPrefs }), expected);
        const cjs = createRequire(import.meta.url)(path.join(clientDir, 'dist', 'cjs', 'index-cjs.js'));
        await assert.rejects(cjs.getNotificationSettings({ addon: helpers.notifyPrefs }), expected);
    });
});
