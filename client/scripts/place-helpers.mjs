// Copies the built helpers and the addon into bin/<platform>-<arch>/, where
// the package looks for them; run before packing (npm's prepack does).
//   VELKO_BUILD_DIR  the CMake build to take them from (default ../build/release)
import { chmodSync, copyFileSync, existsSync, mkdirSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
const build = path.resolve(process.env.VELKO_BUILD_DIR ?? path.join(root, '..', 'build', 'release'));
const target = path.join(root, 'bin', `${process.platform}-${process.arch}`);
const files = [
    ['recorder', 'velko-recorder', 0o755],
    ['input-sentry', 'velko-input-sentry', 0o755],
    ['pointer-sentry', 'velko-pointer-sentry', 0o755],
    ['notify-prefs', 'velko-notify-prefs.node', 0o644],
];

const missing = files.map(([dir, file]) => path.join(build, dir, file)).filter((file) => !existsSync(file));
if (missing.length > 0) {
    console.error(`place-helpers: not built: ${missing.join(', ')} (build the release preset, or set VELKO_BUILD_DIR)`);
    process.exit(1);
}
mkdirSync(target, { recursive: true });
for (const [dir, file, mode] of files) {
    copyFileSync(path.join(build, dir, file), path.join(target, file));
    chmodSync(path.join(target, file), mode);
}
console.error(`place-helpers: ${files.length} files from ${build} in ${path.relative(root, target)}`);
