// Where the client looks for the helpers, and what it says when they are
// nowhere.
import assert from 'node:assert/strict';
import { chmodSync, mkdirSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { afterEach, describe, test } from 'node:test';

import { HelperNotFoundError, locateHelper, packagedHelpersDir, startRecorder, watchMicrophoneUse } from '../dist/esm/index.js';
import { setPackageDir } from '../dist/esm/locate.js';
import { clientDir, tempDir } from './support.mjs';

const platformDir = `${process.platform}-${process.arch}`;
const savedEnv = process.env.VELKO_HELPERS_DIR;

function place(dir, file, mode = 0o755) {
    mkdirSync(dir, { recursive: true });
    const target = path.join(dir, file);
    writeFileSync(target, '#!/bin/sh\n');
    chmodSync(target, mode);
    return target;
}

describe('finding the helpers', () => {
    afterEach(() => {
        if (savedEnv === undefined) delete process.env.VELKO_HELPERS_DIR;
        else process.env.VELKO_HELPERS_DIR = savedEnv;
        setPackageDir(clientDir);
    });

    test('the package folder is where this build was loaded from', () => {
        assert.equal(packagedHelpersDir(), path.join(clientDir, 'bin', platformDir));
    });

    test('a helper found nowhere is an immediate error naming every path tried', async (t) => {
        const env = tempDir(t);
        const pkg = tempDir(t);
        process.env.VELKO_HELPERS_DIR = env;
        setPackageDir(pkg);
        const packaged = path.join(pkg, 'bin', platformDir);
        const tried = [path.join(env, 'velko-input-sentry'), path.join(packaged, 'velko-input-sentry')];
        assert.throws(() => watchMicrophoneUse(), (error) => {
            assert.ok(error instanceof HelperNotFoundError);
            assert.deepEqual(error.tried, tried);
            assert.equal(error.code, 'helper_not_found');
            for (const candidate of tried) assert.ok(error.message.includes(candidate), error.message);
            return true;
        });
        await assert.rejects(startRecorder(), HelperNotFoundError);
    });

    test('in order: explicit option alone, then VELKO_HELPERS_DIR, then the package, skipping what cannot run', (t) => {
        const root = tempDir(t);
        const env = path.join(root, 'env');
        const pkg = path.join(root, 'pkg');
        process.env.VELKO_HELPERS_DIR = env;
        setPackageDir(pkg);
        const packaged = place(path.join(pkg, 'bin', platformDir), 'velko-recorder');
        assert.equal(locateHelper('velko-recorder'), packaged);
        place(env, 'velko-recorder', 0o644);
        assert.equal(locateHelper('velko-recorder'), packaged, 'a file that cannot be executed is passed over');
        const fromEnv = place(env, 'velko-recorder');
        assert.equal(locateHelper('velko-recorder'), fromEnv);
        // An explicit place is the only one tried.
        const explicitDir = path.join(root, 'explicit');
        assert.throws(() => locateHelper('velko-recorder', { dir: explicitDir }), (error) => {
            assert.deepEqual(error.tried, [path.join(explicitDir, 'velko-recorder')]);
            return true;
        });
        const explicit = place(explicitDir, 'velko-recorder');
        assert.equal(locateHelper('velko-recorder', { dir: explicitDir }), explicit);
        assert.equal(locateHelper('velko-recorder', { binary: explicit }), explicit);
        // The addon needs to be readable, not executable.
        const addon = place(env, 'velko-notify-prefs.node', 0o644);
        assert.equal(locateHelper('velko-notify-prefs.node', {}, false), addon);
    });

    test('inside an Electron archive the helpers come from app.asar.unpacked', (t) => {
        const root = tempDir(t);
        delete process.env.VELKO_HELPERS_DIR;
        const inside = path.join(root, 'resources', 'app.asar', 'node_modules', 'velko-helpers');
        const outside = path.join(root, 'resources', 'app.asar.unpacked', 'node_modules', 'velko-helpers');
        setPackageDir(inside);
        // Electron's fs shows files inside the archive, but they cannot run.
        place(path.join(inside, 'bin', platformDir), 'velko-recorder');
        assert.throws(() => locateHelper('velko-recorder'), (error) => {
            assert.deepEqual(error.tried, [
                path.join(inside, 'bin', platformDir, 'velko-recorder'),
                path.join(outside, 'bin', platformDir, 'velko-recorder'),
            ]);
            return true;
        });
        const unpacked = place(path.join(outside, 'bin', platformDir), 'velko-recorder');
        assert.equal(locateHelper('velko-recorder'), unpacked);
    });
});
