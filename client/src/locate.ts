import { accessSync, constants, statSync } from 'node:fs';
import path from 'node:path';

import { HelperNotFoundError } from './errors.js';

/** Where to look for the helpers before the usual places. */
export interface HelperLocation {
    /** The helper's own path; nothing else is tried. */
    binary?: string | undefined;
    /** A folder holding the helpers; nothing else is tried. */
    dir?: string | undefined;
}

export const helperFiles = {
    recorder: 'velko-recorder',
    inputSentry: 'velko-input-sentry',
    pointerSentry: 'velko-pointer-sentry',
    notifyPrefs: 'velko-notify-prefs.node',
} as const;

let packageDir: string | undefined;

/** Set once by the entry module of each build (ES module or CommonJS). */
export function setPackageDir(dir: string): void {
    packageDir = dir;
}

/** The folder of this machine's helpers inside the package. */
export function packagedHelpersDir(): string | undefined {
    if (packageDir === undefined) return undefined;
    return path.join(packageDir, 'bin', `${process.platform}-${process.arch}`);
}

// Electron serves files inside app.asar to fs, but the system cannot execute
// or dlopen them: packagers unpack native files next to it instead.
const asarSegment = `${path.sep}app.asar${path.sep}`;
function outsideAsar(dir: string): string {
    return dir.includes(asarSegment) ? dir.replace(asarSegment, `${path.sep}app.asar.unpacked${path.sep}`) : dir;
}

function candidates(file: string, where: HelperLocation): string[] {
    if (where.binary !== undefined) return [path.resolve(where.binary)];
    if (where.dir !== undefined) return [path.resolve(where.dir, file)];
    const list: string[] = [];
    const fromEnv = process.env['VELKO_HELPERS_DIR'];
    if (fromEnv) list.push(path.resolve(fromEnv, file));
    const packaged = packagedHelpersDir();
    if (packaged !== undefined) {
        list.push(path.join(packaged, file));
        const unpacked = outsideAsar(packaged);
        if (unpacked !== packaged) list.push(path.join(unpacked, file));
    }
    return list;
}

function usable(candidate: string, executable: boolean): boolean {
    if (candidate.includes(asarSegment)) return false;
    try {
        if (!statSync(candidate).isFile()) return false;
        accessSync(candidate, executable ? constants.X_OK : constants.R_OK);
        return true;
    } catch {
        return false;
    }
}

/**
 * The path of a helper program (or, with executable false, of the addon).
 * Throws HelperNotFoundError naming every path tried.
 */
export function locateHelper(file: string, where: HelperLocation = {}, executable = true): string {
    const tried = candidates(file, where);
    const found = tried.find((candidate) => usable(candidate, executable));
    if (found === undefined) throw new HelperNotFoundError(file, tried);
    return found;
}
