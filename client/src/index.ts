// Entry of the ES module build; index-cjs.ts is the CommonJS one. They differ
// only in how they learn where the package is installed.
import { fileURLToPath } from 'node:url';

import { setPackageDir } from './locate.js';

setPackageDir(fileURLToPath(new URL('../..', import.meta.url)));

export * from './api.js';
