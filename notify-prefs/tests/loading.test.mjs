// Loading rules: one live channel per process, across environments (worker
// threads) and across failed loads. Each scenario runs in a fresh process,
// since a load lasts as long as the environment that made it.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';

import { assertClean, runNode } from './support.mjs';

const ALREADY = 'velko-notify-prefs: already loaded in this process';
const NO_JS_THREAD = 'velko-notify-prefs: could not reach the JS thread';
const NO_EXPORT = 'velko-notify-prefs: could not export';

// A refused load as reported by tryLoad: a plain Error with the message.
function assertRefused(outcome, message) {
    assert.deepEqual(outcome, { ok: false, message, isError: true });
}

describe('one load per process', () => {
    test('a second dlopen in the same environment is refused; the first keeps working', async () => {
        const result = await runNode(`
            const first = load(scriptedPath);
            const second = tryLoad(scriptedPath);
            const shipped = tryLoad(shippedPath);
            const answer = await within(first.getNotificationSettings());
            report({ second: { ...second, exports: undefined }, shipped: { ...shipped, exports: undefined }, answer });
        `);
        assertClean(result);
        const [{ second, shipped, answer }] = result.reports;
        assertRefused(second, ALREADY);
        // The test module and the shipped one are separate files: each has
        // its own state, so the shipped one loads beside it.
        assert.equal(shipped.ok, true);
        assert.deepEqual(answer, { authorizationStatus: 'authorized' });
    });

    test('a worker cannot load while the main environment holds the module', async () => {
        const result = await runNode(`
            load(scriptedPath);
            const worker = startWorker(\`
                const { parentPort } = require('node:worker_threads');
                try { process.dlopen({ exports: {} }, \${JSON.stringify(scriptedPath)}); parentPort.postMessage({ ok: true }); }
                catch (e) { parentPort.postMessage({ ok: false, message: e.message, isError: e instanceof Error, code: e.code }); }
            \`);
            const [outcome] = await new Promise((r) => worker.once('message', (m) => r([m])));
            report(outcome);
        `);
        assertClean(result);
        assertRefused(result.reports[0], ALREADY);
    });

    test('while a worker holds the module the main environment is refused; after the worker ends a load succeeds', async () => {
        const result = await runNode(`
            const worker = startWorker(\`
                const { parentPort } = require('node:worker_threads');
                const m = { exports: {} };
                process.dlopen(m, \${JSON.stringify(scriptedPath)});
                m.exports.getNotificationSettings().then((answer) => {
                    parentPort.postMessage(answer);
                    parentPort.once('message', () => process.exit(0));
                });
                setTimeout(() => {}, 10000);
            \`);
            const workerAnswer = await new Promise((r) => worker.once('message', r));
            const whileAlive = tryLoad(scriptedPath);
            const ended = new Promise((r) => worker.once('exit', r));
            worker.postMessage('end');
            await ended;
            const afterEnd = tryLoad(scriptedPath);
            const answer = afterEnd.ok ? await within(afterEnd.exports.getNotificationSettings()) : null;
            report({ workerAnswer, whileAlive, afterEnd: afterEnd.ok, answer });
        `);
        assertClean(result);
        const [{ workerAnswer, whileAlive, afterEnd, answer }] = result.reports;
        assert.deepEqual(workerAnswer, { authorizationStatus: 'authorized' });
        assertRefused(whileAlive, ALREADY);
        assert.equal(afterEnd, true);
        assert.deepEqual(answer, { authorizationStatus: 'authorized' });
    });

    test('loads overlapping on two threads: exactly one succeeds', async () => {
        // Node serialises its own loads, so the second load here calls the
        // initialiser directly, as a runtime without that lock would. The
        // load that makes its channel first is held there until the other
        // load has thrown (ten seconds at most), so the two overlap.
        const result = await runNode(
            `
            const direct = load(process.env.VELKO_NOTIFY_DIRECT_LOADER);
            const worker = startWorker(\`
                const { parentPort } = require('node:worker_threads');
                parentPort.postMessage('loading');
                const started = Date.now();
                let outcome;
                try {
                    const m = { exports: {} };
                    process.dlopen(m, \${JSON.stringify(scriptedPath)});
                    outcome = { ok: true };
                } catch (e) { outcome = { ok: false, message: e.message, isError: e instanceof Error, code: e.code }; }
                parentPort.postMessage({ ...outcome, ms: Date.now() - started });
            \`);
            const messages = [];
            worker.on('message', (m) => messages.push(m));
            while (messages.length === 0) await sleep(5);
            // Most likely the worker is in its load by now; if not, this
            // load is the one held, and the worker's refusal frees it.
            await sleep(50);
            const started = Date.now();
            let main;
            try {
                const exports = direct.register(scriptedPath);
                main = { ok: typeof exports.getNotificationSettings === 'function' };
            } catch (e) { main = { ok: false, message: e.message, isError: e instanceof Error, code: e.code }; }
            main.ms = Date.now() - started;
            while (messages.length < 2) await sleep(5);
            report({ main, worker: messages[1] });
            process.exit(0);
        `,
            { env: { VELKO_NAPI_PAUSE: 'napi_create_threadsafe_function' } },
        );
        assertClean(result);
        const [{ main, worker }] = result.reports;
        const outcomes = [main, worker];
        const winners = outcomes.filter((o) => o.ok);
        const losers = outcomes.filter((o) => !o.ok);
        assert.equal(winners.length, 1, JSON.stringify(outcomes));
        const { ms, ...refusal } = losers[0];
        assertRefused(refusal, ALREADY);
        // The winner was released by the loser's refusal, not by the timeout:
        // the two loads really overlapped.
        assert.ok(winners[0].ms < 9000, `winner waited ${winners[0].ms} ms`);
    });
});

describe('failed loads', () => {
    const table = [
        ['napi_create_string_utf8', NO_JS_THREAD, true],
        ['napi_create_threadsafe_function', NO_JS_THREAD, true],
        ['napi_unref_threadsafe_function', NO_JS_THREAD, true],
        ['napi_create_function', NO_EXPORT, false],
        ['napi_set_named_property', NO_EXPORT, false],
    ];
    for (const [failing, message, retryLoads] of table) {
        test(`${failing} fails: "${message}", then a new load ${retryLoads ? 'succeeds' : 'is refused'}`, async () => {
            const result = await runNode(
                `
                const first = tryLoad(scriptedPath);
                const firstOutcome = { ...first, exports: first.exports && Object.keys(first.exports) };
                const second = tryLoad(scriptedPath);
                // Let anything the failed load left behind run its course
                // before the new load is used.
                await sleep(50);
                let answer = null;
                if (second.ok) answer = await within(second.exports.getNotificationSettings());
                report({ first: firstOutcome, second: { ...second, exports: undefined }, answer });
            `,
                { env: { VELKO_NAPI_FAULTS: failing } },
            );
            // Also: nothing the failed load left behind keeps the process up.
            assertClean(result);
            const [{ first, second, answer }] = result.reports;
            assertRefused(first, message);
            if (retryLoads) {
                assert.equal(second.ok, true, JSON.stringify(second));
                assert.deepEqual(answer, { authorizationStatus: 'authorized' });
            } else {
                assertRefused(second, ALREADY);
            }
        });
    }
});
