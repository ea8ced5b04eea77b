// Entry of the CommonJS build; index.ts is the ES module one.
import path from 'node:path';

import { setPackageDir } from './locate.js';

setPackageDir(path.resolve(__dirname, '..', '..'));

export * from './api.js';
