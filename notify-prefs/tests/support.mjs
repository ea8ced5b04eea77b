// Shared pieces of the module's tests: where the built modules are, loading
// one into the current environment, running a scenario in a fresh node
// process, and waiting for a promise without letting a pending one hang.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';

function required(name) {
    const value = process.env[name];
    assert.ok(value, `${name} must name a built module (the tests run through ctest)`);
    return value;
}

export const shippedPath = required('VELKO_NOTIFY_PREFS');
export const scriptedPath = required('VELKO_NOTIFY_PREFS_SCRIPTED');

// Loads a .node file into this environment, as require() would, but without
// require's cache, so that each call is a real load.
export function load(path) {
    const module = { exports: {} };
    process.dlopen(module, path);
    return module.exports;
}

// The promise's outcome, or a failure after `ms`. The timer also keeps the
// event loop alive meanwhile: the module's pending requests do not.
export async function within(promise, ms = 5000) {
    let timer;
    const timeout = new Promise((_, reject) => {
        timer = setTimeout(() => reject(new Error(`still pending after ${ms} ms`)), ms);
    });
    try {
        return await Promise.race([promise, timeout]);
    } finally {
        clearTimeout(timer);
    }
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Watches a promise so a test can ask later whether it has settled.
export function track(promise) {
    const state = { settled: false };
    promise.then(
        (value) => Object.assign(state, { settled: true, value }),
        (error) => Object.assign(state, { settled: true, error }),
    );
    return state;
}

// Waits, with a bound, until `condition()` holds.
export async function until(condition, what, ms = 5000) {
    const end = Date.now() + ms;
    while (!condition()) {
        if (Date.now() > end) assert.fail(`timed out waiting for ${what}`);
        await sleep(5);
    }
}

// A rejection of the module: an Error with exactly this message and no code.
export async function assertRejection(promise, message) {
    const error = await within(promise).then(
        (value) => assert.fail(`resolved with ${JSON.stringify(value)}, expected "${message}"`),
        (e) => e,
    );
    assertModuleError(error, message);
}

export function assertModuleError(error, message) {
    assert.ok(error instanceof Error, `not an Error: ${error}`);
    assert.equal(error.message, message);
    assert.equal(error.code, undefined);
    assert.ok(!Object.hasOwn(error, 'code'));
}

// Runs `source` as an ES module in a new node process, with the module paths
// in scope as `shippedPath` and `scriptedPath`, and `load`, `tryLoad`,
// `sleep`, `within`, `startWorker` and `report` defined. Resolves
// with the exit code, signal, output, the lines the child printed that parse
// as JSON, and the wall time in ms.
export function runNode(source, { env = {}, timeoutMs = 30000 } = {}) {
    const prelude = `
        import { Worker } from 'node:worker_threads';
        const shippedPath = ${JSON.stringify(shippedPath)};
        const scriptedPath = ${JSON.stringify(scriptedPath)};
        const load = (path) => { const m = { exports: {} }; process.dlopen(m, path); return m.exports; };
        const tryLoad = (path) => {
            try { return { ok: true, exports: load(path) }; }
            catch (e) { return { ok: false, message: e.message, isError: e instanceof Error, code: e.code }; }
        };
        const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
        const within = (promise, ms = 5000) => {
            let timer;
            const late = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error('still pending')), ms); });
            return Promise.race([promise, late]).finally(() => clearTimeout(timer));
        };
        // Worker code is CommonJS, whatever this script is.
        const startWorker = (code) => new Worker(code, { eval: true, execArgv: [] });
        const report = (value) => console.log(JSON.stringify(value));
    `;
    return new Promise((resolve, reject) => {
        const started = Date.now();
        const child = spawn(process.execPath, ['--input-type=module', '-e', prelude + source], {
            env: { ...process.env, ...env },
            stdio: ['ignore', 'pipe', 'pipe'],
        });
        let stdout = '';
        let stderr = '';
        child.stdout.on('data', (d) => (stdout += d));
        child.stderr.on('data', (d) => (stderr += d));
        const timer = setTimeout(() => child.kill('SIGKILL'), timeoutMs);
        child.on('error', reject);
        child.on('close', (code, signal) => {
            clearTimeout(timer);
            const reports = [];
            for (const line of stdout.split('\n')) {
                try {
                    reports.push(JSON.parse(line));
                } catch {
                    // not a report
                }
            }
            resolve({ code, signal, stdout, stderr, reports, ms: Date.now() - started });
        });
    });
}

// The leak reports in `stderr` whose allocation was made by one of our
// modules. The runtime's own allocations are not the module's to free: the
// heaps of ended workers, and the promise handles of requests whose
// environment is gone, which nothing can settle or release any more.
export function moduleLeaks(stderr) {
    const blocks = stderr.split(/\n(?=(?:Direct|Indirect) leak of )/).slice(1);
    return blocks.filter((block) => {
        const frames = block.split('\n').filter((line) => /^\s*#\d+ /.test(line));
        const site = frames.find((f) => !/libclang_rt|libstdc\+\+|libc\+\+|libc\.so|operator new|malloc|alloc\b/.test(f));
        return site !== undefined && /velko-notify|\/notify-prefs\//.test(site);
    });
}

// A child that must have ended cleanly: exit status 0, no sanitizer report
// other than leaks of the runtime's own, and no leak of ours.
export function assertClean(result) {
    const detail = `exit ${result.code} signal ${result.signal}\nstdout:\n${result.stdout}\nstderr:\n${result.stderr}`;
    assert.equal(result.signal, null, detail);
    assert.equal(result.code, 0, detail);
    const ours = moduleLeaks(result.stderr);
    assert.deepEqual(ours, [], `leaks of the module:\n${ours.join('\n')}`);
    const rest = result.stderr.replace(/=+\n==\d+==ERROR: LeakSanitizer: detected memory leaks[\s\S]*?SUMMARY: [^\n]*\n/g, '');
    assert.doesNotMatch(rest, /Sanitizer|runtime error/, detail);
}
