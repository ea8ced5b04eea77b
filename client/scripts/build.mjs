// Compiles the package twice, as ES modules and as CommonJS, each with its
// declarations. The CommonJS folder says so in a package.json of its own,
// since the package as a whole is "type": "module".
import { spawnSync } from 'node:child_process';
import { mkdirSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
const tsc = createRequire(import.meta.url).resolve('typescript/bin/tsc');

rmSync(path.join(root, 'dist'), { recursive: true, force: true });
for (const config of ['tsconfig.esm.json', 'tsconfig.cjs.json']) {
    const result = spawnSync(process.execPath, [tsc, '-p', path.join(root, config)], { stdio: 'inherit' });
    if (result.status !== 0) process.exit(result.status ?? 1);
}
mkdirSync(path.join(root, 'dist', 'cjs'), { recursive: true });
writeFileSync(path.join(root, 'dist', 'cjs', 'package.json'), '{ "type": "commonjs" }\n');
