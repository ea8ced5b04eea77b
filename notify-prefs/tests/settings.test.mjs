// getNotificationSettings over the scripted platform, loaded once into this
// process's main environment.
import assert from 'node:assert/strict';
import { afterEach, describe, test } from 'node:test';

import { assertModuleError, assertRejection, load, scriptedPath, track, until, within } from './support.mjs';

const { getNotificationSettings, scripted } = load(scriptedPath);

const defaults = { bundleId: 'app.velko.notes.tests', status: 2, raise: null, answer: 'thread' };

afterEach(async () => {
    scripted.configure(defaults);
    // Every request record is gone once its test is over.
    await until(() => scripted.stats().liveCalls === 0, 'request records to be freed');
});

describe('resolution', () => {
    const table = [
        [0, 'notDetermined'],
        [1, 'denied'],
        [2, 'authorized'],
        [3, 'provisional'],
        [4, 'unknown'],
        [-1, 'unknown'],
        [2 ** 40, 'unknown'],
        [9223372036854775807n, 'unknown'],
        [-9223372036854775808n, 'unknown'],
    ];
    for (const [status, text] of table) {
        test(`status ${status} resolves to "${text}"`, async () => {
            scripted.configure({ status });
            const result = await within(getNotificationSettings());
            assert.equal(Object.getPrototypeOf(result), Object.prototype);
            assert.deepEqual(Object.getOwnPropertyNames(result), ['authorizationStatus']);
            assert.equal(result.authorizationStatus, text);
        });
    }

    test('each answer goes out on a platform thread and is settled on this one', async () => {
        const before = scripted.stats();
        const result = await within(getNotificationSettings());
        assert.equal(result.authorizationStatus, 'authorized');
        const after = scripted.stats();
        assert.equal(after.centerRequests - before.centerRequests, 1);
        assert.equal(after.settingsRequests - before.settingsRequests, 1);
        assert.equal(after.napi.napi_call_threadsafe_function - before.napi.napi_call_threadsafe_function, 1);
    });
});

describe('rejection', () => {
    for (const bundleId of [null, '']) {
        test(`bundle identifier ${JSON.stringify(bundleId)}: "no-bundle" and the center is never asked`, async () => {
            scripted.configure({ bundleId });
            const before = scripted.stats();
            await assertRejection(getNotificationSettings(), 'no-bundle: this process has no bundle identifier');
            assert.equal(scripted.stats().centerRequests, before.centerRequests);
        });
    }

    const raised = [
        [{ at: 'center', name: 'NSInternalInconsistencyException', reason: 'no center' }, 'NSInternalInconsistencyException: no center'],
        [{ at: 'request', name: 'NSInvalidArgumentException', reason: 'bad request' }, 'NSInvalidArgumentException: bad request'],
        [{ at: 'request', name: 'Ünïcode', reason: 'réason ✓ 𝄞' }, 'Ünïcode: réason ✓ 𝄞'],
        [{ at: 'center', name: '', reason: '' }, ': '],
        [{ at: 'center', noUtf8: true }, 'exception'],
        [{ at: 'request', noUtf8: true }, 'exception'],
    ];
    for (const [raise, message] of raised) {
        test(`platform exception at the ${raise.at}: "${message}"`, async () => {
            scripted.configure({ raise });
            const before = scripted.stats();
            await assertRejection(getNotificationSettings(), message);
            const after = scripted.stats();
            assert.equal(after.centerRequests - before.centerRequests, 1);
            assert.equal(after.settingsRequests - before.settingsRequests, raise.at === 'request' ? 1 : 0);
        });
    }

    test('an outcome known at once is settled even with nothing else keeping the loop alive', async () => {
        // No channel hand-over: the rejection is already on its way when the
        // call returns.
        scripted.configure({ bundleId: null });
        const before = scripted.stats();
        const outcome = track(getNotificationSettings());
        await Promise.resolve();
        await Promise.resolve();
        assert.ok(outcome.settled);
        assertModuleError(outcome.error, 'no-bundle: this process has no bundle identifier');
        assert.equal(scripted.stats().napi.napi_call_threadsafe_function, before.napi.napi_call_threadsafe_function);
    });
});

describe('several calls', () => {
    test('two calls settle in the order the platform answers, each once', async () => {
        const before = scripted.stats();
        const order = [];
        scripted.configure({ status: 0, answer: 300 });
        const slow = getNotificationSettings().then((r) => order.push(['slow', r.authorizationStatus]));
        scripted.configure({ status: 1, answer: 'thread' });
        const fast = getNotificationSettings().then((r) => order.push(['fast', r.authorizationStatus]));
        await within(Promise.all([slow, fast]));
        assert.deepEqual(order, [
            ['fast', 'denied'],
            ['slow', 'notDetermined'],
        ]);
        const after = scripted.stats();
        assert.equal(after.napi.napi_resolve_deferred - before.napi.napi_resolve_deferred, 2);
    });

    test('held answers settle in the order they are released', async () => {
        scripted.configure({ answer: 'held' });
        const order = [];
        scripted.configure({ status: 2 });
        const first = getNotificationSettings();
        scripted.configure({ status: 3 });
        const second = getNotificationSettings();
        const firstState = track(first.then((r) => order.push(r.authorizationStatus)));
        const secondState = track(second.then((r) => order.push(r.authorizationStatus)));
        assert.notEqual(first, second);
        assert.equal(scripted.stats().held, 2);

        assert.equal(scripted.release(1), 1); // the second request's answer
        await within(second);
        assert.ok(!firstState.settled);
        assert.equal(scripted.release(0), 0);
        await within(first);
        assert.ok(secondState.settled);
        assert.deepEqual(order, ['provisional', 'authorized']);
    });

    test('arguments, receiver and construction change nothing', async () => {
        const calls = [
            () => getNotificationSettings(1, 'two', { three: 3 }, () => {}),
            () => getNotificationSettings.call({ not: 'the exports' }, null),
            () => getNotificationSettings.apply(undefined, [undefined, Symbol('x')]),
            () => Reflect.apply(getNotificationSettings, 42, []),
            () => new getNotificationSettings('x'),
        ];
        for (const call of calls) {
            const promise = call();
            assert.ok(promise instanceof Promise);
            assert.deepEqual(await within(promise), { authorizationStatus: 'authorized' });
        }
        scripted.configure({ bundleId: null });
        for (const call of calls) {
            await assertRejection(call(), 'no-bundle: this process has no bundle identifier');
        }
    });
});

describe('Node-API failures', () => {
    test('no promise: the call throws and makes no request', () => {
        const before = scripted.stats();
        scripted.failNext('napi_create_promise');
        assert.throws(() => getNotificationSettings(), (e) => {
            assertModuleError(e, 'velko-notify-prefs: could not create a promise');
            return true;
        });
        const after = scripted.stats();
        assert.equal(after.centerRequests, before.centerRequests);
        assert.equal(after.liveCalls, 0);
        // The next call is whole again.
        return within(getNotificationSettings());
    });

    // A step of settling fails: the promise stays pending, the record is freed.
    const unsettled = [
        ['napi_create_object', { answer: 'held' }],
        ['napi_resolve_deferred', { answer: 'held' }],
        ['napi_call_threadsafe_function', { answer: 'held' }],
        ['napi_create_string_utf8', { answer: 'held', raise: { at: 'request', name: 'N', reason: 'R' } }],
        ['napi_create_error', { answer: 'held', raise: { at: 'center', name: 'N', reason: 'R' } }],
        ['napi_reject_deferred', { answer: 'held', bundleId: null }],
    ];
    for (const [failing, script] of unsettled) {
        test(`${failing} fails: the promise stays pending and the record is freed`, async () => {
            scripted.configure(script);
            const before = scripted.stats();
            const pending = script.raise || script.bundleId === null;
            if (pending) scripted.failNext(failing);
            const outcome = track(getNotificationSettings());
            if (!pending) {
                assert.equal(scripted.stats().liveCalls, 1);
                scripted.failNext(failing);
                scripted.release();
                assert.ok(scripted.waitAnswered(before.answered + 1, 5000));
            }
            await until(() => scripted.stats().liveCalls === 0, 'the record to be freed');
            await new Promise((resolve) => setTimeout(resolve, 20));
            assert.ok(!outcome.settled, `settled: ${JSON.stringify(outcome)}`);
            assert.equal(scripted.stats().napi[failing], before.napi[failing] + 1);
        });
    }

    test('the status text cannot be made: resolves with an object without the property', async () => {
        scripted.configure({ answer: 'held' });
        const promise = getNotificationSettings();
        scripted.failNext('napi_create_string_utf8');
        scripted.release();
        assert.deepEqual(await within(promise), {});
    });
});
