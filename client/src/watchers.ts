import { HelperError } from './errors.js';
import {
    describeExit,
    errorFromLine,
    HelperProcess,
    reportError,
    stampExit,
    type EventLine,
    type HelperExit,
} from './helper-process.js';
import { helperFiles, locateHelper, type HelperLocation } from './locate.js';
import { TypedEmitter, type EventArgs } from './typed-events.js';

export interface WatcherOptions extends HelperLocation {
    /** How long close() waits before sending SIGTERM (default 2000). */
    closeTimeoutMs?: number;
}

/** A process that is using a microphone. */
export interface MicrophoneUser {
    readonly bundleId: string;
    readonly pid: number;
    /** The input device it uses, when known. */
    readonly deviceUID?: string;
    /** It was using input when the watch began, and has been ever since. */
    readonly preexisting: boolean;
}

export interface MicrophoneUseOptions extends WatcherOptions {
    /** Poll period, 200 to 10000 ms (the helper's default: 1000). */
    intervalMs?: number;
}

export interface WatcherEvents {
    /** The helper is running. */
    ready: [];
    error: [error: HelperError];
    /** The helper has ended; after close() or on its own. */
    exit: [exit: HelperExit];
}

export interface MicrophoneUseEvents extends WatcherEvents {
    /** The set of processes using a microphone changed. */
    change: [users: readonly MicrophoneUser[], previous: readonly MicrophoneUser[]];
}

export interface DesktopClickEvents extends WatcherEvents {
    /** The user clicked on the bare desktop. */
    click: [];
}

/**
 * What both watchers share: one helper whose event lines come on standard
 * output, its "error" line on standard error, and an end by closing its
 * standard input.
 */
abstract class HelperWatcher<T extends WatcherEvents & EventArgs<T>> extends TypedEmitter<T> {
    readonly #proc: HelperProcess;
    readonly #closeTimeoutMs: number;
    #closing: Promise<void> | undefined;
    #errorLine = false;

    protected constructor(file: string, args: string[], options: WatcherOptions) {
        super();
        this.#closeTimeoutMs = options.closeTimeoutMs ?? 2000;
        this.#proc = new HelperProcess(
            file,
            args,
            {
                event: (line) => this.#onLine(line),
                protocol: (error) => reportError(this.#common, error),
            },
            ['stdout', 'stderr'],
        );
        void this.#proc.closed.then((exit) => this.#onClosed(exit));
    }

    // The events every watcher has, whatever its own.
    get #common(): TypedEmitter<WatcherEvents> {
        return this as unknown as TypedEmitter<WatcherEvents>;
    }

    get pid(): number | undefined {
        return this.#proc.child.pid;
    }

    /** True until the helper has ended. */
    get running(): boolean {
        return this.#proc.running;
    }

    /** Ends the watch; resolves once the helper has ended. Harmless to repeat. */
    close(): Promise<void> {
        this.#closing ??= this.#proc.end(this.#closeTimeoutMs, 1000).then(() => undefined);
        return this.#closing;
    }

    /** A helper-specific line; false when it is not one this watcher knows. */
    protected abstract onEvent(line: EventLine): boolean;

    protected protocolError(message: string, line: EventLine): HelperError {
        return this.#proc.protocolError(message, JSON.stringify(line));
    }

    #onLine(line: EventLine): void {
        if (line.event === 'error') {
            const error = errorFromLine(this.#proc, line);
            if (error !== undefined) {
                this.#errorLine = true;
                // The helper exits right after its error line: report both together.
                void this.#proc.closed.then((exit) => {
                    stampExit([error], exit);
                    reportError(this.#common, error);
                });
                return;
            }
        } else if (line.event === 'ready') {
            this.#common.emit('ready');
            return;
        } else if (this.onEvent(line)) {
            return;
        }
        reportError(this.#common, this.protocolError(`unknown or malformed "${line.event}" line`, line));
    }

    #onClosed(exit: HelperExit): void {
        const proc = this.#proc;
        if (proc.spawnError !== undefined) {
            reportError(
                this.#common,
                new HelperError('spawn_failed', `${proc.helper} could not be started: ${proc.spawnError.message}`, {
                    helper: proc.helper,
                }),
            );
        } else if (this.#closing === undefined && !this.#errorLine) {
            reportError(
                this.#common,
                new HelperError('exited', `${proc.helper} ended unexpectedly (${describeExit(exit)})`, {
                    helper: proc.helper,
                    exitCode: exit.exitCode,
                    signal: exit.signal,
                    lines: proc.stderrLines.slice(),
                }),
            );
        }
        // The error report above waits on the same promise: let it go first.
        queueMicrotask(() => this.#common.emit('exit', exit));
    }
}

function userFrom(entry: unknown): MicrophoneUser | undefined {
    if (typeof entry !== 'object' || entry === null) return undefined;
    const { bundleId, pid, deviceUID, preexisting } = entry as Record<string, unknown>;
    if (typeof bundleId !== 'string' || !Number.isInteger(pid) || typeof preexisting !== 'boolean') return undefined;
    if (deviceUID !== undefined && typeof deviceUID !== 'string') return undefined;
    const user: MicrophoneUser = { bundleId, pid: pid as number, preexisting };
    return deviceUID === undefined ? user : { ...user, deviceUID };
}

// The helper's own notion of identity: one process on one input device.
function keyOf(user: MicrophoneUser): string {
    return `${user.bundleId}:${user.pid}:${user.deviceUID ?? '-'}`;
}

function sameSet(a: readonly MicrophoneUser[], b: readonly MicrophoneUser[]): boolean {
    if (a.length !== b.length) return false;
    const left = a.map(keyOf).sort();
    const right = b.map(keyOf).sort();
    return left.every((key, i) => key === right[i]);
}

/** Reports which processes use a microphone; see watchMicrophoneUse(). */
export class MicrophoneUseWatcher extends HelperWatcher<MicrophoneUseEvents> {
    /** The processes using a microphone now; empty until the first report. */
    current: readonly MicrophoneUser[] = [];
    /** The first report has arrived. */
    reported = false;

    constructor(options: MicrophoneUseOptions = {}) {
        const args = options.intervalMs === undefined ? [] : ['--interval-ms', String(options.intervalMs)];
        super(locateHelper(helperFiles.inputSentry, options), args, options);
    }

    protected onEvent(line: EventLine): boolean {
        if (line.event !== 'input' || !Array.isArray(line.processes)) return false;
        const users = line.processes.map(userFrom);
        if (!users.every((user) => user !== undefined)) return false;
        const previous = this.current;
        this.current = users;
        this.reported = true;
        // The helper repeats the list on every tick while any process uses
        // input, and empty lists for a while after: only changes are news.
        if (!sameSet(users, previous)) this.emit('change', users, previous);
        return true;
    }
}

/** Reports clicks on the bare desktop; see watchDesktopClicks(). */
export class DesktopClickWatcher extends HelperWatcher<DesktopClickEvents> {
    constructor(options: WatcherOptions = {}) {
        super(locateHelper(helperFiles.pointerSentry, options), [], options);
    }

    protected onEvent(line: EventLine): boolean {
        if (line.event !== 'desktopClick') return false;
        this.emit('click');
        return true;
    }
}

/**
 * Starts velko-input-sentry. `change` fires when the set of processes that
 * use a microphone changes, the first report included when it is not empty.
 * Throws HelperNotFoundError at once when the helper cannot be found.
 */
export function watchMicrophoneUse(options: MicrophoneUseOptions = {}): MicrophoneUseWatcher {
    return new MicrophoneUseWatcher(options);
}

/** Starts velko-pointer-sentry; `click` fires for each click on the bare desktop. */
export function watchDesktopClicks(options: WatcherOptions = {}): DesktopClickWatcher {
    return new DesktopClickWatcher(options);
}
