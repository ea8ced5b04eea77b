// As a new user would: the package packed with npm pack, installed from the
// tarball into an empty folder, and the README's example run there against
// the real recorder, which it finds inside the installed package.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { cpSync, readFileSync, statSync, symlinkSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { clientDir, repoDir, startSoundServer, tempDir } from './support.mjs';

// The example is the README's code block under the Node.js section.
function readmeExample() {
    const readme = readFileSync(path.join(repoDir, 'README.md'), 'utf8');
    const section = readme.slice(readme.indexOf('## Using the helpers from Node.js or Electron'));
    const block = /```js\n([\s\S]*?)```/.exec(section);
    assert.ok(block, 'the README has a js example in the section');
    return block[1];
}

const run = (command, args, options) => execFileSync(command, args, { encoding: 'utf8', ...options });

test('npm pack, install the tarball, run the README example', { timeout: 180000 }, async (t) => {
    const root = tempDir(t);
    // Packed from a copy, so that the build its prepack runs leaves the
    // tree the other tests load untouched.
    const source = path.join(root, 'source');
    for (const entry of ['package.json', 'package-lock.json', 'src', 'scripts', 'tsconfig.base.json', 'tsconfig.esm.json', 'tsconfig.cjs.json']) {
        cpSync(path.join(clientDir, entry), path.join(source, entry), { recursive: true });
    }
    symlinkSync(path.join(clientDir, 'node_modules'), path.join(source, 'node_modules'));
    const buildDir = process.env.VELKO_BUILD_DIR ?? path.join(repoDir, 'build', 'release');
    const packed = JSON.parse(
        run('npm', ['pack', '--json', '--pack-destination', root], {
            cwd: source,
            env: { ...process.env, VELKO_BUILD_DIR: buildDir },
            stdio: ['ignore', 'pipe', 'inherit'],
        }),
    )[0];
    const files = packed.files.map((file) => file.path);
    const platformDir = `bin/${process.platform}-${process.arch}`;
    for (const file of ['velko-recorder', 'velko-input-sentry', 'velko-pointer-sentry', 'velko-notify-prefs.node']) {
        assert.ok(files.includes(`${platformDir}/${file}`), `${file} packed`);
    }
    for (const file of ['dist/esm/index.js', 'dist/esm/index.d.ts', 'dist/cjs/index-cjs.js', 'dist/cjs/index-cjs.d.ts', 'dist/cjs/package.json']) {
        assert.ok(files.includes(file), `${file} packed`);
    }
    assert.ok(!files.some((file) => file.startsWith('src/') || file.startsWith('test/')), 'only what runs is packed');

    const app = path.join(root, 'app');
    cpSync(path.join(root, packed.filename), path.join(app, packed.filename));
    writeFileSync(path.join(app, 'package.json'), '{ "name": "app", "private": true, "type": "module" }\n');
    run('npm', ['install', '--offline', '--no-audit', '--no-fund', '--loglevel=error', `./${packed.filename}`], { cwd: app });
    assert.deepEqual(Object.keys(JSON.parse(readFileSync(path.join(app, 'package.json'), 'utf8')).dependencies), ['velko-helpers']);
    writeFileSync(path.join(app, 'example.mjs'), readmeExample());

    const stopServer = startSoundServer();
    t.after(stopServer);
    const env = { ...process.env };
    delete env.VELKO_HELPERS_DIR; // the helpers must come from the installed package
    const output = run(process.execPath, ['example.mjs'], { cwd: app, env, timeout: 60000 });
    t.diagnostic(output.trim());
    const wav = path.join(app, 'meeting.wav');
    assert.equal(statSync(wav).size, 44 + 10 * 48000 * 4, 'ten seconds of 48 kHz stereo');
    assert.match(output, /^wrote 10\.0 s to meeting\.wav$/m);
    // The recorder itself is a process that uses a microphone.
    assert.match(output, /velko-recorder/);

    const cjs = run(process.execPath, ['-e', "console.log(typeof require('velko-helpers').startRecorder)"], { cwd: app });
    assert.equal(cjs.trim(), 'function', 'the CommonJS build loads from the installed package');
});
