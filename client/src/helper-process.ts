import { spawn, type ChildProcess } from 'node:child_process';
import path from 'node:path';
import type { Readable } from 'node:stream';

import { HelperError } from './errors.js';
import { LineSplitter, type SplitLine } from './lines.js';

export type StreamName = 'stdout' | 'stderr';

/** How a helper ended. */
export interface HelperExit {
    /** Exit status, or null when a signal ended it (or it never started). */
    exitCode: number | null;
    /** The signal that ended it, if any. */
    signal: NodeJS.Signals | null;
}

/** The signal the client had to send because the helper did not end in time. */
export type ForcedSignal = 'SIGTERM' | 'SIGKILL' | null;

/** A parsed event line: a JSON object with a string "event" member. */
export type EventLine = { event: string } & Record<string, unknown>;

export interface LineHandlers {
    event(event: EventLine, raw: string, stream: StreamName): void;
    protocol(error: HelperError): void;
}

/** Standard-error lines kept for error reports. */
const keptLines = 100;
/** How long the streams may stay open once the process is gone. */
const streamGraceMs = 2000;

export function describeExit(exit: HelperExit): string {
    if (exit.signal !== null) return `killed by ${exit.signal}`;
    if (exit.exitCode !== null) return `exit status ${exit.exitCode}`;
    return 'no exit status';
}

function shorten(text: string): string {
    return text.length > 200 ? `${text.slice(0, 200)}...` : text;
}

/**
 * One helper child process: its event lines parsed from the line streams,
 * standard input kept for closing, and an orderly end that escalates to
 * SIGTERM and then SIGKILL when the helper does not end in time.
 */
export class HelperProcess {
    readonly helper: string;
    readonly child: ChildProcess;
    readonly stderrLines: string[] = [];
    exit: HelperExit | undefined;
    spawnError: Error | undefined;
    forced: ForcedSignal = null;
    /** The process has ended and its streams are closed. */
    readonly closed: Promise<HelperExit>;
    /** Called once the process is gone, before its streams have ended. */
    onExit: (() => void) | undefined;

    readonly #handlers: LineHandlers;
    readonly #exited: Promise<void>;
    #ending: Promise<HelperExit> | undefined;

    constructor(file: string, args: readonly string[], handlers: LineHandlers, lineStreams: readonly StreamName[]) {
        this.helper = path.basename(file);
        this.#handlers = handlers;
        this.child = spawn(file, args, { stdio: ['pipe', 'pipe', 'pipe'], windowsHide: true });
        // A helper that is already gone makes writes and the close of its
        // standard input fail with EPIPE; nothing is ever written there.
        this.child.stdin?.on('error', () => {});
        this.child.stdout?.on('error', () => {});
        this.child.stderr?.on('error', () => {});
        for (const name of lineStreams) this.#splitLines(name);
        // The stderr lines are kept whether or not they are parsed as events.
        if (!lineStreams.includes('stderr')) this.child.stderr?.resume();

        let markExited = (): void => {};
        this.#exited = new Promise((resolve) => (markExited = resolve));
        this.closed = new Promise((resolve) => {
            const settle = (): void => resolve(this.exit ?? { exitCode: null, signal: null });
            this.child.on('error', (error) => {
                // Errors after a successful spawn are failed kills: the
                // process is already gone, and 'exit' reports it.
                if (this.child.pid !== undefined) return;
                this.spawnError = error;
                markExited();
                settle();
            });
            let grace: NodeJS.Timeout | undefined;
            this.child.on('exit', (exitCode, signal) => {
                this.exit = { exitCode, signal };
                markExited();
                this.onExit?.();
                // A stray process holding the pipes must not keep us waiting.
                grace = setTimeout(() => {
                    this.child.stdout?.destroy();
                    this.child.stderr?.destroy();
                    settle();
                }, streamGraceMs);
                grace.unref();
            });
            this.child.on('close', () => {
                clearTimeout(grace);
                settle();
            });
        });
    }

    get running(): boolean {
        return this.exit === undefined && this.spawnError === undefined;
    }

    /**
     * Closes standard input and waits for the end; after timeoutMs sends
     * SIGTERM, and killAfterMs later SIGKILL. Calling it again returns the
     * same promise.
     */
    end(timeoutMs: number, killAfterMs: number): Promise<HelperExit> {
        this.#ending ??= this.#end(timeoutMs, killAfterMs);
        return this.#ending;
    }

    async #end(timeoutMs: number, killAfterMs: number): Promise<HelperExit> {
        this.child.stdin?.end();
        if (!(await this.#exitsWithin(timeoutMs))) {
            this.forced = 'SIGTERM';
            this.child.kill('SIGTERM');
            if (!(await this.#exitsWithin(killAfterMs))) {
                this.forced = 'SIGKILL';
                this.child.kill('SIGKILL');
            }
        }
        return this.closed;
    }

    async #exitsWithin(ms: number): Promise<boolean> {
        let timer: NodeJS.Timeout | undefined;
        const timeout = new Promise<boolean>((resolve) => (timer = setTimeout(resolve, ms, false)));
        try {
            return await Promise.race([this.#exited.then(() => true), timeout]);
        } finally {
            clearTimeout(timer);
        }
    }

    protocolError(message: string, raw: string): HelperError {
        return new HelperError('protocol', `${this.helper}: ${message}`, {
            helper: this.helper,
            raw,
            lines: this.stderrLines.slice(),
        });
    }

    #splitLines(name: StreamName): void {
        const stream = this.child[name] as Readable | null;
        if (stream === null) return;
        const splitter = new LineSplitter();
        stream.on('data', (chunk: Buffer) => {
            for (const line of splitter.push(chunk)) this.#line(line, name);
        });
        stream.on('end', () => {
            const rest = splitter.end();
            if (rest === undefined) return;
            this.#keep(rest.text, name);
            this.#handlers.protocol(this.protocolError(`line without its line feed: ${shorten(rest.text)}`, rest.text));
        });
    }

    #keep(text: string, name: StreamName): void {
        if (name !== 'stderr') return;
        this.stderrLines.push(text);
        if (this.stderrLines.length > keptLines) this.stderrLines.shift();
    }

    #line(line: SplitLine, name: StreamName): void {
        this.#keep(line.text, name);
        if (line.truncated) {
            this.#handlers.protocol(this.protocolError(`line longer than 1 MiB: ${shorten(line.text)}`, line.text));
            return;
        }
        let parsed: unknown;
        try {
            parsed = JSON.parse(line.text);
        } catch {
            parsed = undefined;
        }
        if (
            typeof parsed !== 'object' ||
            parsed === null ||
            Array.isArray(parsed) ||
            typeof (parsed as { event?: unknown }).event !== 'string'
        ) {
            this.#handlers.protocol(this.protocolError(`not an event line: ${shorten(line.text)}`, line.text));
            return;
        }
        this.#handlers.event(parsed as EventLine, line.text, name);
    }
}

/** The "error" line's members, or undefined when they are malformed. */
export function errorFromLine(proc: HelperProcess, line: EventLine): HelperError | undefined {
    const { code, message, osstatus } = line;
    if (typeof code !== 'string' || typeof message !== 'string') return undefined;
    if (osstatus !== undefined && !Number.isInteger(osstatus)) return undefined;
    return new HelperError(code, message, {
        helper: proc.helper,
        osstatus: osstatus as number | undefined,
        lines: proc.stderrLines.slice(),
    });
}

/** Fills in how the helper ended on the errors that describe its run. */
export function stampExit(errors: Iterable<HelperError>, exit: HelperExit): void {
    for (const error of errors) {
        if (error.code === 'protocol' || error.exitCode !== null || error.signal !== null) continue;
        error.exitCode = exit.exitCode;
        error.signal = exit.signal;
    }
}

/** Emits an error where someone listens; otherwise warns instead of throwing. */
export function reportError(emitter: { listenerCount(event: 'error'): number; emit(event: 'error', error: HelperError): boolean }, error: HelperError): void {
    if (emitter.listenerCount('error') > 0) emitter.emit('error', error);
    else process.emitWarning(error);
}
