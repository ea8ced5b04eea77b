// Requests that outlive their environment, and requests that are still
// pending when the process has nothing else to do. Each scenario runs in a
// fresh process; a worker thread is the environment that goes away.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';

import { assertClean, runNode } from './support.mjs';

// Source of a worker that loads the test module, scripts one request with
// `options`, makes it, runs `then` and exits without another turn of its
// event loop.
function workerSource(options, then = '') {
    return `startWorker(\`
        const m = { exports: {} };
        process.dlopen(m, \${JSON.stringify(scriptedPath)});
        const { getNotificationSettings, scripted } = m.exports;
        scripted.configure(${JSON.stringify(options)});
        getNotificationSettings().then(() => console.log('"worker settled"'), () => console.log('"worker settled"'));
        ${then}
        process.exit(0);
    \`)`;
}

// After the worker is gone: loads the module here and reports its counters,
// then checks that a request of this environment is still answered.
const reportAfterwards = `
    const { getNotificationSettings, scripted } = load(scriptedPath);
    const before = scripted.stats();
    const release = before.held > 0 ? (scripted.release(0), scripted.waitAnswered(before.answered + 1, 5000)) : null;
    const stale = scripted.stats();
    scripted.configure({ answer: 'thread' });
    const own = await within(getNotificationSettings());
    await sleep(50);
    report({ before, release, stale, own, after: scripted.stats() });
`;

function settles(stats) {
    return stats.napi.napi_resolve_deferred + stats.napi.napi_reject_deferred;
}

describe('environment torn down with a request outstanding', () => {
    test('the answer arrives while no environment has the module: freed, nothing settled', async () => {
        const result = await runNode(`
            const worker = ${workerSource({ answer: 1000 })};
            await new Promise((r) => worker.once('exit', r));
            // Well after the answer: the worker is long gone when it comes.
            await sleep(2000);
            ${reportAfterwards}
        `);
        assertClean(result);
        assert.ok(!result.stdout.includes('worker settled'));
        const [{ before, stale, own, after }] = result.reports;
        assert.equal(before.answered, 1);
        assert.equal(before.liveCalls, 0);
        assert.equal(settles(stale), 0);
        assert.deepEqual(own, { authorizationStatus: 'authorized' });
        assert.equal(settles(after), 1);
        assert.equal(after.liveCalls, 0);
    });

    test('the answer arrives after another environment has loaded: freed, never handed to the new channel', async () => {
        const result = await runNode(`
            const worker = ${workerSource({ answer: 'held' })};
            await new Promise((r) => worker.once('exit', r));
            ${reportAfterwards}
        `);
        assertClean(result);
        assert.ok(!result.stdout.includes('worker settled'));
        const [{ before, release, stale, own, after }] = result.reports;
        // The worker's record was still waiting for the platform.
        assert.equal(before.held, 1);
        assert.equal(before.liveCalls, 1);
        assert.equal(release, true);
        assert.equal(stale.liveCalls, 0);
        assert.equal(stale.napi.napi_call_threadsafe_function, 0);
        assert.equal(settles(stale), 0);
        assert.deepEqual(own, { authorizationStatus: 'authorized' });
        assert.equal(after.napi.napi_call_threadsafe_function, 1);
        assert.equal(settles(after), 1);
        assert.equal(after.liveCalls, 0);
    });

    test('the answer is already queued on the channel when the worker exits: freed, never seen by the worker', async () => {
        const result = await runNode(`
            const worker = ${workerSource({ answer: 'thread' }, 'scripted.waitAnswered(1, 5000);')};
            await new Promise((r) => worker.once('exit', r));
            ${reportAfterwards}
        `);
        assertClean(result);
        assert.ok(!result.stdout.includes('worker settled'));
        const [{ before, own, after }] = result.reports;
        assert.equal(before.answered, 1);
        // Handed to the worker's channel, then dropped with it. (Whether the
        // runtime still settles it in the dying worker, where no JavaScript
        // runs any more, or drops it, is the runtime's choice.)
        assert.equal(before.napi.napi_call_threadsafe_function, 1);
        assert.equal(before.liveCalls, 0);
        assert.deepEqual(own, { authorizationStatus: 'authorized' });
        assert.equal(after.liveCalls, 0);
    });

    test('a worker terminated from outside while its request waits', async () => {
        const result = await runNode(`
            const worker = startWorker(\`
                const { parentPort } = require('node:worker_threads');
                const m = { exports: {} };
                process.dlopen(m, \${JSON.stringify(scriptedPath)});
                m.exports.scripted.configure({ answer: 1000 });
                m.exports.getNotificationSettings().then(() => parentPort.postMessage('settled'));
                parentPort.postMessage('asked');
                setInterval(() => {}, 1000);
            \`);
            await new Promise((r) => worker.once('message', r));
            await worker.terminate();
            await sleep(2000);
            ${reportAfterwards}
        `);
        assertClean(result);
        const [{ before, stale }] = result.reports;
        assert.equal(before.answered, 1);
        assert.equal(before.liveCalls, 0);
        assert.equal(settles(stale), 0);
    });
});

describe('pending requests and the event loop', () => {
    test('a pending request alone does not keep node running', async () => {
        const result = await runNode(`
            const { getNotificationSettings, scripted } = load(scriptedPath);
            scripted.configure({ answer: 'held' });
            getNotificationSettings().then(() => report('settled'));
            scripted.configure({ answer: 60000 });
            getNotificationSettings().then(() => report('settled'));
            report('asked');
        `);
        assertClean(result);
        assert.deepEqual(result.reports, ['asked']);
        assert.ok(result.ms < 10000, `took ${result.ms} ms`);
    });

    test('an answer that comes while something else keeps node running is delivered', async () => {
        const result = await runNode(`
            const { getNotificationSettings, scripted } = load(scriptedPath);
            scripted.configure({ answer: 100, status: 1 });
            getNotificationSettings().then(report);
            setTimeout(() => {}, 1000);
        `);
        assertClean(result);
        assert.deepEqual(result.reports, [{ authorizationStatus: 'denied' }]);
    });
});
