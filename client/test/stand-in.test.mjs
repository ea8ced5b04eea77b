// The client against stand-in helpers that the tests write: the line
// protocol spoken badly on purpose, in ways the real helpers never do.
import assert from 'node:assert/strict';
import { getEventListeners } from 'node:events';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { describe, test } from 'node:test';

import { HelperError, recordToWav, startRecorder, watchDesktopClicks, watchMicrophoneUse } from '../dist/esm/index.js';
import { next, readyLine, standIn, started, tempDir, until, watched } from './support.mjs';

// Stops like the recorder: "stopped" once standard input has ended.
const stopsOnEof = `await stdinEnded; await err('{"event":"stopped"}\\n'); process.exit(0);`;

describe('recorder lines and frames', () => {
    test('lines split across reads are put together, and PCM comes in whole frames', async (t) => {
        const dir = tempDir(t);
        // 25 frames whose bytes count up, written in pieces that cut frames.
        const binary = standIn(
            dir,
            'recorder',
            `
            for (const piece of ['{"event":"rea', 'dy","sampleRate":16000,"chann', 'els":2,"format":"s16le","chunkMs":50,"inputBufferChannels":[1,1]}\\n{"event":"notice","code":"micro']) {
                await err(piece); await sleep(30);
            }
            await err('phone_silent","message":"the microphone is silent"}\\n{"event":"notice","code":"wholly_new","message":"m","extra":[1]}\\n');
            const bytes = Buffer.from(Array.from({ length: 100 }, (_, i) => i));
            for (const [from, to] of [[0, 3], [3, 4], [4, 11], [11, 61], [61, 99], [99, 100]]) {
                await out(bytes.subarray(from, to)); await sleep(20);
            }
            ${stopsOnEof}`,
        );
        const recorder = await started(t, startRecorder({ binary, sampleRate: 16000 }));
        assert.deepEqual(
            { sampleRate: recorder.sampleRate, channels: recorder.channels, format: recorder.format, chunkMs: recorder.chunkMs, inputBufferChannels: recorder.inputBufferChannels },
            { sampleRate: 16000, channels: 2, format: 's16le', chunkMs: 50, inputBufferChannels: [1, 1] },
        );
        const notices = [];
        recorder.on('notice', (notice) => notices.push(notice));
        const chunks = [];
        const reading = (async () => {
            for await (const chunk of recorder.pcm) chunks.push(chunk);
        })();
        await until(() => chunks.reduce((n, c) => n + c.length, 0) === 100, 20000, 'all PCM');
        const summary = await recorder.stop();
        await reading;

        for (const chunk of chunks) assert.equal(chunk.length % 4, 0, 'whole frames only');
        assert.deepEqual([...Buffer.concat(chunks)], Array.from({ length: 100 }, (_, i) => i));
        assert.deepEqual(
            notices.map((n) => [n.code, n.message]),
            [['microphone_silent', 'the microphone is silent'], ['wholly_new', 'm']],
            'notices of any code pass through',
        );
        assert.deepEqual(notices[1].extra, [1]);
        assert.equal(summary.frames, 25);
        assert.equal(summary.seconds, 25 / 16000);
        assert.equal(summary.stopped, true);
        assert.equal(summary.exitCode, 0);
        assert.equal(summary.forced, null);
        assert.equal(summary.notices.length, 2);
        assert.deepEqual(summary.errors, []);
    });

    test('unreadable lines and unknown events become "protocol" errors with the raw text, and recording goes on', async (t) => {
        const dir = tempDir(t);
        const bad = ['this is no JSON', '[1,2]', '{"event":17}', '{"event":"bogus","x":1}', '{"event":"notice","code":"c"}', ''];
        const binary = standIn(
            dir,
            'recorder',
            // In the same write as "ready": listeners added once the start
            // has resolved still hear them.
            `await err(${JSON.stringify(readyLine + bad.join('\n') + '\n')});
            await out(Buffer.alloc(8));
            ${stopsOnEof}`,
        );
        const recorder = await started(t, startRecorder({ binary }));
        const errors = [];
        recorder.on('error', (error) => errors.push(error));
        await until(() => errors.length === bad.length, 20000, 'all protocol errors');
        const summary = await recorder.stop();

        for (const error of errors) {
            assert.ok(error instanceof HelperError);
            assert.equal(error.code, 'protocol');
            assert.equal(error.helper, 'recorder');
        }
        assert.deepEqual(errors.slice(0, 3).map((e) => e.raw), bad.slice(0, 3));
        assert.deepEqual(JSON.parse(errors[3].raw), { event: 'bogus', x: 1 });
        assert.match(errors[3].message, /unknown event "bogus"/);
        assert.match(errors[4].message, /malformed "notice"/);
        assert.equal(summary.stopped, true);
        assert.equal(summary.frames, 2);
        assert.equal(summary.errors.length, bad.length);
    });

    test('without an error listener a bad line is a warning, never an exception', async (t) => {
        const dir = tempDir(t);
        const binary = standIn(dir, 'recorder', `await err(${JSON.stringify(readyLine)}); await err('garbage\\n'); ${stopsOnEof}`);
        const warnings = [];
        const onWarning = (warning) => warnings.push(warning);
        process.on('warning', onWarning);
        t.after(() => process.off('warning', onWarning));
        const recorder = await started(t, startRecorder({ binary }));
        await until(() => warnings.length === 1, 20000, 'the warning');
        assert.equal(warnings[0].code, 'protocol');
        assert.equal((await recorder.stop()).errors[0].raw, 'garbage');
    });

    test('a start-up error line rejects with its code, status and lines', async (t) => {
        const dir = tempDir(t);
        const binary = standIn(
            dir,
            'recorder',
            `await err('chatter from a library\\n{"event":"error","code":"tap_denied","message":"no tap","osstatus":-66}\\n'); process.exit(1);`,
        );
        const error = await startRecorder({ binary }).catch((e) => e);
        assert.ok(error instanceof HelperError);
        assert.deepEqual(
            { code: error.code, message: error.message, osstatus: error.osstatus, exitCode: error.exitCode, signal: error.signal },
            { code: 'tap_denied', message: 'no tap', osstatus: -66, exitCode: 1, signal: null },
        );
        assert.equal(error.lines.length, 2);
        assert.equal(error.lines[0], 'chatter from a library');
    });

    test('a helper that exits 1 without an error line: at start-up and while recording', async (t) => {
        const dir = tempDir(t);
        const early = standIn(dir, 'early', `await err('not json\\n'); process.exit(1);`);
        const error = await startRecorder({ binary: early }).catch((e) => e);
        assert.ok(error instanceof HelperError);
        assert.equal(error.code, 'exited');
        assert.equal(error.exitCode, 1);
        assert.match(error.message, /ended before it was ready \(exit status 1\)/);
        assert.deepEqual(error.lines, ['not json']);

        const late = standIn(dir, 'late', `await err(${JSON.stringify(readyLine)}); await out(Buffer.alloc(6)); await sleep(100); process.exit(1);`);
        const recorder = await started(t, startRecorder({ binary: late }));
        const [[died], [summary]] = await Promise.all([next(recorder, 'error'), next(recorder, 'exit')]);
        assert.equal(died.code, 'exited');
        assert.equal(died.exitCode, 1);
        assert.equal(summary.stopped, false);
        assert.equal(summary.frames, 1);
        assert.equal(summary.discardedBytes, 2, 'a partial frame is dropped');
        assert.equal(await recorder.stop(), summary, 'stop() after the exit resolves at once with the same summary');
        assert.equal(recorder.running, false);
    });

    const hangs = [
        { name: 'ignores the end of its input but not SIGTERM', body: `process.stdin.resume();`, forced: 'SIGTERM' },
        { name: 'ignores both', body: `process.on('SIGTERM', () => {}); process.stdin.resume();`, forced: 'SIGKILL' },
    ];
    for (const hang of hangs) {
        test(`a recorder that hangs on stop (${hang.name}) is ended with ${hang.forced}`, async (t) => {
            const dir = tempDir(t);
            const binary = standIn(dir, 'recorder', `${hang.body} await err(${JSON.stringify(readyLine)}); setInterval(() => {}, 1000);`);
            const recorder = await started(t, startRecorder({ binary }));
            const errors = [];
            recorder.on('error', (error) => errors.push(error));
            const summary = await recorder.stop({ timeoutMs: 300, killTimeoutMs: 300 });
            assert.equal(summary.forced, hang.forced);
            assert.equal(summary.signal, hang.forced);
            assert.equal(summary.stopped, false);
            assert.deepEqual(errors, [], 'an end the client forced is in the summary, not an error');
        });
    }

    test('an abort stops the recorder, before or after it is ready, and leaves no listener behind', async (t) => {
        const dir = tempDir(t);
        const slow = standIn(dir, 'recorder', `await sleep(300); await err(${JSON.stringify(readyLine)}); ${stopsOnEof}`);
        const controller = new AbortController();
        const starting = startRecorder({ binary: slow, signal: controller.signal });
        setTimeout(() => controller.abort(), 50);
        const error = await starting.catch((e) => e);
        assert.equal(error.name, 'AbortError');
        assert.equal(getEventListeners(controller.signal, 'abort').length, 0);

        const rejected = await startRecorder({ binary: path.join(dir, 'absent'), signal: controller.signal }).catch((e) => e);
        assert.equal(rejected.name, 'AbortError', 'an aborted signal is checked before anything else');

        const shared = new AbortController();
        for (let i = 0; i < 3; i++) {
            const recorder = await started(t, startRecorder({ binary: slow, signal: shared.signal }));
            await recorder.stop();
        }
        assert.equal(getEventListeners(shared.signal, 'abort').length, 0);
        const recorder = await started(t, startRecorder({ binary: slow, signal: shared.signal }));
        const exited = next(recorder, 'exit');
        shared.abort();
        const [summary] = await exited;
        assert.equal(summary.stopped, true);
        assert.equal(summary.exitCode, 0);
    });

    test('a consumer that stops reading pauses the helper, and reading again resumes it', async (t) => {
        const dir = tempDir(t);
        const progress = path.join(dir, 'written');
        const binary = standIn(
            dir,
            'recorder',
            `await err(${JSON.stringify(readyLine)});
            const chunk = Buffer.alloc(38400);
            let total = 0, done = false;
            stdinEnded.then(() => { done = true; });
            while (!done) {
                await out(chunk);
                total += chunk.length;
                fs.writeFileSync(${JSON.stringify(progress)}, String(total));
                await new Promise(setImmediate);
            }
            ${stopsOnEof}`,
        );
        const recorder = await started(t, startRecorder({ binary }));
        const written = () => Number(readFileSync(progress, 'utf8') || 0);
        await until(() => {
            try {
                return written() > 0;
            } catch {
                return false;
            }
        });
        // Nobody reads: what is written stalls at the pipe plus the stream's
        // buffer, and the client holds no more than that buffer.
        let before = -1;
        for (let now = written(); now !== before; now = written()) {
            before = now;
            await new Promise((resolve) => setTimeout(resolve, 250));
        }
        assert.ok(before < 4 * 1024 * 1024, `stalled after ${before} bytes`);
        assert.ok(recorder.pcm.readableLength <= 256 * 1024 + 38400, `${recorder.pcm.readableLength} bytes held`);
        let read = 0;
        recorder.pcm.on('data', (chunk) => (read += chunk.length));
        await until(() => written() > before + 1024 * 1024, 20000, 'the helper writing again');
        const summary = await recorder.stop();
        assert.equal(summary.stopped, true);
        await until(() => read === summary.frames * 4, 20000, 'every frame read');
    });
});

describe('recordings that end badly', () => {
    test('a lost microphone still completes the WAV file, and rejects with the error and the summary', async (t) => {
        const dir = tempDir(t);
        const binary = standIn(
            dir,
            'recorder',
            `await err(${JSON.stringify(readyLine)});
            await out(Buffer.alloc(4 * 480, 1));
            await err('{"event":"error","code":"device_lost","message":"the microphone went away"}\\n{"event":"stopped"}\\n');
            process.exit(1);`,
        );
        const file = path.join(dir, 'lost.wav');
        const error = await recordToWav(file, { binary, seconds: 60 }).catch((e) => e);
        assert.ok(error instanceof HelperError);
        assert.deepEqual([error.code, error.exitCode, error.message], ['device_lost', 1, 'the microphone went away']);
        assert.deepEqual([error.summary.frames, error.summary.stopped, error.summary.exitCode], [480, true, 1]);
        const wav = readFileSync(file);
        assert.equal(wav.length, 44 + 4 * 480);
        assert.deepEqual([wav.readUInt32LE(4), wav.readUInt32LE(40)], [36 + 4 * 480, 4 * 480]);
    });

    test('a stop with PCM that nobody reads does not wait for the kill', async (t) => {
        const dir = tempDir(t);
        // More than the pipe and the stream's buffer hold, written before "stopped".
        const binary = standIn(
            dir,
            'recorder',
            `await err(${JSON.stringify(readyLine)}); await stdinEnded;
            for (let i = 0; i < 40; i++) await out(Buffer.alloc(38400));
            await err('{"event":"stopped"}\\n'); process.exit(0);`,
        );
        const recorder = await started(t, startRecorder({ binary }));
        const summary = await recorder.stop({ timeoutMs: 10000 });
        assert.deepEqual([summary.stopped, summary.forced, summary.frames], [true, null, 40 * 9600]);
    });
});

describe('watchers', () => {
    const user = (bundleId, pid, preexisting, deviceUID) => ({ bundleId, pid, preexisting, ...(deviceUID ? { deviceUID } : {}) });
    const a = user('A', 1, true, 'mic');
    const b = user('B', 2, false);

    test('microphone use: change fires only when the set changes', async (t) => {
        const dir = tempDir(t);
        const input = (...processes) => JSON.stringify({ event: 'input', processes }) + '\n';
        const lines = [input(), input(a), input(a), input(a, b), input(b, a), input(), input(), input(), '{"event":"odd"}\n', 'nope\n'];
        const binary = standIn(
            dir,
            'sentry',
            `if (process.argv[2] !== '--interval-ms' || process.argv[3] !== '200') process.exit(3);
            await out('{"event":"ready"}\\n');
            for (const line of ${JSON.stringify(lines)}) { await out(line.slice(0, 5)); await sleep(5); await out(line.slice(5)); await sleep(20); }
            await stdinEnded; process.exit(0);`,
        );
        const watcher = watched(t, watchMicrophoneUse({ binary, intervalMs: 200 }));
        const changes = [];
        const errors = [];
        watcher.on('change', (users, previous) => changes.push([users, previous]));
        watcher.on('error', (error) => errors.push(error));
        await until(() => errors.length === 2, 20000, 'both protocol errors');
        assert.deepEqual(changes, [
            [[a], []],
            [[a, b], [a]],
            [[], [b, a]],
        ]);
        assert.deepEqual(watcher.current, []);
        assert.deepEqual(errors.map((e) => [e.code, e.raw]), [['protocol', '{"event":"odd"}'], ['protocol', 'nope']]);
        const exited = next(watcher, 'exit');
        await Promise.all([watcher.close(), watcher.close()]);
        assert.deepEqual((await exited)[0], { exitCode: 0, signal: null });
        await watcher.close();
        assert.equal(watcher.running, false);
    });

    test('desktop clicks, a refusal, and a helper that will not close', async (t) => {
        const dir = tempDir(t);
        const clicker = standIn(
            dir,
            'clicks',
            `await out('{"event":"ready"}\\n{"event":"desk'); await sleep(30); await out('topClick"}\\n{"event":"desktopClick"}\\n');
            process.on('SIGTERM', () => {}); setInterval(() => {}, 1000);`,
        );
        const watcher = watched(t, watchDesktopClicks({ binary: clicker, closeTimeoutMs: 200 }));
        let clicks = 0;
        watcher.on('click', () => clicks++);
        await next(watcher, 'ready');
        await until(() => clicks === 2, 20000, 'two clicks');
        const exited = next(watcher, 'exit');
        await watcher.close();
        assert.deepEqual((await exited)[0], { exitCode: null, signal: 'SIGKILL' });

        const refusing = standIn(dir, 'refuses', `await err('{"event":"error","code":"monitor","message":"could not install the global mouse monitor"}\\n'); process.exit(1);`);
        const refused = watched(t, watchDesktopClicks({ binary: refusing }));
        const [[error], [exit]] = await Promise.all([next(refused, 'error'), next(refused, 'exit')]);
        assert.deepEqual([error.code, error.exitCode, error.message], ['monitor', 1, 'could not install the global mouse monitor']);
        assert.deepEqual(exit, { exitCode: 1, signal: null });
        await refused.close();
    });

    test('a watcher whose helper dies reports it', async (t) => {
        const dir = tempDir(t);
        const binary = standIn(dir, 'dies', `await out('{"event":"ready"}\\n'); await sleep(50); process.kill(process.pid, 'SIGKILL');`);
        const watcher = watched(t, watchMicrophoneUse({ binary }));
        const [error] = await next(watcher, 'error');
        assert.deepEqual([error.code, error.signal, error.exitCode], ['exited', 'SIGKILL', null]);
    });
});
