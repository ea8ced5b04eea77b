// The module as shipped for this machine, and what both built modules show
// to the loader.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { describe, test } from 'node:test';

import { assertClean, assertRejection, load, runNode, scriptedPath, shippedPath } from './support.mjs';

const onLinux = process.platform === 'linux';

describe('shipped module', () => {
    test('loads in this node and exports getNotificationSettings alone', { skip: !onLinux && 'Linux backend' }, async () => {
        const exports = load(shippedPath);
        assert.deepEqual(Object.keys(exports), ['getNotificationSettings']);
        // Until Linux has a notification backend, the process counts as one
        // without a bundle identifier.
        await assertRejection(exports.getNotificationSettings(), 'no-bundle: this process has no bundle identifier');
    });

    test('a bare script awaiting the answer gets it', { skip: !onLinux && 'Linux backend' }, async () => {
        const result = await runNode(`
            const { getNotificationSettings } = load(shippedPath);
            try { await getNotificationSettings(); report('resolved'); }
            catch (e) { report(e.message); }
        `);
        assertClean(result);
        assert.deepEqual(result.reports, ['no-bundle: this process has no bundle identifier']);
    });
});

describe('what the loader sees', () => {
    // Every Node-API function the module calls, each left for the loading
    // process to provide.
    const nodeApi = [
        'napi_call_threadsafe_function', 'napi_create_error', 'napi_create_function', 'napi_create_object',
        'napi_create_promise', 'napi_create_string_utf8', 'napi_create_threadsafe_function',
        'napi_reject_deferred', 'napi_release_threadsafe_function', 'napi_resolve_deferred',
        'napi_set_named_property', 'napi_throw_error', 'napi_unref_threadsafe_function',
    ];

    const nm = process.env.VELKO_NM || 'nm';
    // A universal file lists its symbols once per architecture, each list
    // under a "(for architecture ...):" heading.
    const symbols = (args, path) => [
        ...new Set(
            execFileSync(nm, [...args, path], { encoding: 'utf8' })
                .split('\n')
                .filter((line) => !line.trim().endsWith('):'))
                .map((line) => line.trim().split(/\s+/).at(-1))
                .filter(Boolean),
        ),
    ];

    test('the shipped module takes Node-API from the loading process', { skip: !onLinux && 'ELF only' }, () => {
        const undefinedSymbols = symbols(['-D', '--undefined-only'], shippedPath);
        assert.deepEqual(undefinedSymbols.filter((s) => s.startsWith('napi_')).sort(), nodeApi);
    });

    for (const [name, path] of [
        ['shipped', shippedPath],
        ['test', scriptedPath],
    ]) {
        test(`the ${name} module exports the two entry points and nothing else`, () => {
            const defined = onLinux ? symbols(['-D', '--defined-only'], path) : symbols(['-gU'], path);
            const plain = defined.map((s) => (onLinux ? s : s.replace(/^_/, '')));
            assert.deepEqual(plain.sort(), ['napi_register_module_v1', 'node_api_module_get_api_version_v1']);
        });

        test(`the ${name} module links no Node.js library`, { skip: !onLinux && 'ELF only' }, () => {
            const dynamic = execFileSync(process.env.VELKO_READELF || 'readelf', ['-d', path], { encoding: 'utf8' });
            const needed = [...dynamic.matchAll(/NEEDED.*\[(.*)\]/g)].map((m) => m[1]);
            assert.ok(needed.length > 0, dynamic);
            assert.deepEqual(needed.filter((lib) => /node/i.test(lib)), []);
        });

        // The probe relies on lazy binding, which Linux's loader offers for
        // symbols that only a runtime would provide.
        test(`the ${name} module is built for Node-API version 8`, { skip: !onLinux && 'lazy binding' }, () => {
            const out = execFileSync(process.env.VELKO_NOTIFY_PROBE, [path], { encoding: 'utf8' });
            assert.equal(out.trim(), '8');
        });
    }
});
