import { Readable } from 'node:stream';

import { abortError, HelperError } from './errors.js';
import {
    describeExit,
    errorFromLine,
    HelperProcess,
    reportError,
    stampExit,
    type EventLine,
    type ForcedSignal,
} from './helper-process.js';
import { helperFiles, locateHelper, type HelperLocation } from './locate.js';
import { TypedEmitter } from './typed-events.js';

export interface RecorderOptions extends HelperLocation {
    /** Rate asked of the device, in Hz (the recorder's default: 48000). */
    sampleRate?: number;
    /** Length of the recorder's output chunks, 10 to 5000 ms (default 200). */
    chunkMs?: number;
    /** Stops the recorder, or abandons a start that is under way. */
    signal?: AbortSignal;
    /** How long start-up may take before the helper is ended (default 15000). */
    startTimeoutMs?: number;
    /** How long stop() waits before sending SIGTERM (default 5000). */
    stopTimeoutMs?: number;
    /** How long it then waits before sending SIGKILL (default 2000). */
    killTimeoutMs?: number;
}

export type KnownNoticeCode =
    | 'default_input_changed'
    | 'microphone_silent'
    | 'system_audio_silent'
    | 'microphone_resumed'
    | 'system_audio_resumed'
    | 'device_rate_changed';

/** Known codes are typed; a newer recorder may send others, which pass through. */
export type NoticeCode = KnownNoticeCode | (string & {});

/** A "notice" line: something the host may want to know; recording goes on. */
export interface Notice {
    readonly event: 'notice';
    readonly code: NoticeCode;
    readonly message: string;
    /** With "system_audio_silent": whether any output stream is playing. */
    readonly outputActive?: boolean;
    /** With "device_rate_changed": the device's new rate in Hz. */
    readonly deviceRate?: number;
    readonly [member: string]: unknown;
}

/** The stream announced by the "ready" line. */
export interface RecorderFormat {
    /** Frames per second of the PCM stream. */
    readonly sampleRate: number;
    /** 2: channel 0 the microphone, channel 1 the system audio. */
    readonly channels: number;
    readonly format: 's16le';
    readonly chunkMs: number;
    /** Channels of each input buffer of the device; the last is the system audio's. */
    readonly inputBufferChannels: readonly number[];
}

export interface RecordingSummary {
    /** Whole frames written by the recorder (by recordToWav: into the file). */
    frames: number;
    seconds: number;
    exitCode: number | null;
    signal: NodeJS.Signals | null;
    /** The "stopped" line arrived: every PCM byte reached the client. */
    stopped: boolean;
    /** The signal the client had to send because the recorder did not stop in time. */
    forced: ForcedSignal;
    notices: Notice[];
    /** Errors of the run: a lost device, unreadable lines, an unexpected end. */
    errors: HelperError[];
    /** Bytes of an incomplete last frame, dropped (only after a kill). */
    discardedBytes: number;
}

export interface StopOptions {
    timeoutMs?: number;
    killTimeoutMs?: number;
}

export interface RecorderEvents {
    notice: [notice: Notice];
    error: [error: HelperError];
    exit: [summary: RecordingSummary];
}

const pcmHighWaterMark = 256 * 1024;
const noBytes = Buffer.alloc(0);
const create: unique symbol = Symbol('create');

function formatFromReady(line: EventLine): RecorderFormat | undefined {
    const { sampleRate, channels, format, chunkMs, inputBufferChannels } = line;
    if (typeof sampleRate !== 'number' || !Number.isFinite(sampleRate) || sampleRate <= 0) return undefined;
    if (!Number.isInteger(channels) || (channels as number) < 1) return undefined;
    if (format !== 's16le' || !Number.isInteger(chunkMs)) return undefined;
    if (!Array.isArray(inputBufferChannels) || !inputBufferChannels.every((n) => Number.isInteger(n))) {
        return undefined;
    }
    return {
        sampleRate,
        channels: channels as number,
        format,
        chunkMs: chunkMs as number,
        inputBufferChannels: inputBufferChannels as number[],
    };
}

function nonNegativeMs(value: number | undefined, fallback: number): number {
    return value !== undefined && Number.isFinite(value) && value >= 0 ? value : fallback;
}

/**
 * A running velko-recorder. Made by startRecorder(), which resolves once the
 * recorder is ready.
 */
export class Recorder extends TypedEmitter<RecorderEvents> implements RecorderFormat {
    /** Whole frames, interleaved s16le; ends when the recorder has stopped. */
    readonly pcm: Readable;
    readonly pid: number | undefined;

    #format: RecorderFormat = { sampleRate: 0, channels: 2, format: 's16le', chunkMs: 0, inputBufferChannels: [] };
    readonly #proc: HelperProcess;
    readonly #options: RecorderOptions;
    #state: 'starting' | 'running' | 'ended' = 'starting';
    #frameBytes = 4;
    #bytes = 0;
    #rest: Buffer = noBytes;
    #outputStarted = false;
    #discard = false;
    #notices: Notice[] = [];
    #errors: HelperError[] = [];
    #stoppedLine = false;
    #startError: HelperError | undefined;
    #aborted = false;
    #summary: RecordingSummary | undefined;
    #stopping: Promise<RecordingSummary> | undefined;
    readonly #ended: Promise<RecordingSummary>;
    readonly #started: Promise<Recorder>;
    #resolveStart: (recorder: Recorder) => void = () => {};
    #rejectStart: (error: Error) => void = () => {};
    #startTimer: NodeJS.Timeout | undefined;
    #held: (() => void)[] | undefined;
    readonly #onAbort = (): void => {
        if (this.#state === 'starting') {
            this.#aborted = true;
            void this.#proc.end(this.#stopTimeout(), this.#killTimeout());
        } else {
            void this.stop();
        }
    };

    private constructor(file: string, args: string[], options: RecorderOptions) {
        super();
        this.#options = options;
        this.#started = new Promise((resolve, reject) => {
            this.#resolveStart = resolve;
            this.#rejectStart = reject;
        });
        this.pcm = new Readable({ highWaterMark: pcmHighWaterMark, read: () => this.#resumeOutput() });
        // A consumer that destroys the stream no longer wants the rest:
        // it is read and dropped, so that the recorder never blocks on it.
        this.pcm.on('close', () => {
            this.#discard = true;
            this.#resumeOutput();
        });
        this.#proc = new HelperProcess(
            file,
            args,
            { event: (line) => this.#onLine(line), protocol: (error) => this.#report(error) },
            ['stderr'],
        );
        this.pid = this.#proc.child.pid;
        this.#proc.onExit = () => {
            // Nothing more can come: what is left in the pipe is bounded, so
            // it is read now whatever the consumer does.
            this.#startOutput();
            this.#proc.child.stdout?.resume();
        };
        this.#ended = this.#proc.closed.then(() => this.#finish());
        options.signal?.addEventListener('abort', this.#onAbort, { once: true });
        this.#startTimer = setTimeout(() => {
            this.#startError = new HelperError('start_timeout', `${this.#proc.helper} did not become ready in time`, {
                helper: this.#proc.helper,
                lines: this.#proc.stderrLines.slice(),
            });
            void this.#proc.end(0, this.#killTimeout());
        }, nonNegativeMs(options.startTimeoutMs, 15000));
    }

    /** @internal */
    static [create](options: RecorderOptions): Promise<Recorder> {
        if (options.signal?.aborted) return Promise.reject(abortError(options.signal));
        let file: string;
        try {
            file = locateHelper(helperFiles.recorder, options);
        } catch (error) {
            return Promise.reject(error);
        }
        const args: string[] = [];
        if (options.sampleRate !== undefined) args.push('--sample-rate', String(options.sampleRate));
        if (options.chunkMs !== undefined) args.push('--chunk-ms', String(options.chunkMs));
        return new Recorder(file, args, options).#started;
    }

    get sampleRate(): number {
        return this.#format.sampleRate;
    }

    get channels(): number {
        return this.#format.channels;
    }

    get format(): 's16le' {
        return this.#format.format;
    }

    get chunkMs(): number {
        return this.#format.chunkMs;
    }

    get inputBufferChannels(): readonly number[] {
        return this.#format.inputBufferChannels;
    }

    /** True until the recorder process has ended. */
    get running(): boolean {
        return this.#state !== 'ended';
    }

    /**
     * Closes the recorder's standard input and waits for "stopped" and the
     * exit; sends SIGTERM, then SIGKILL, when that takes too long. The stop
     * waits for the consumer of `pcm` to read what is still coming, unless
     * nothing has ever read it. Resolves at once when the recorder has
     * already ended.
     */
    stop(options: StopOptions = {}): Promise<RecordingSummary> {
        if (this.#summary !== undefined) return Promise.resolve(this.#summary);
        // PCM that nobody has ever asked for would hold the stop up until the
        // kill: the recorder writes everything before "stopped". It is
        // dropped (and still counted); what the stream holds stays readable.
        if (this.pcm.readableFlowing === null && !this.#discard) {
            this.#discard = true;
            this.#resumeOutput();
        }
        this.#stopping ??= this.#proc
            .end(this.#stopTimeout(options.timeoutMs), this.#killTimeout(options.killTimeoutMs))
            .then(() => this.#ended);
        return this.#stopping;
    }

    #stopTimeout(value?: number): number {
        return nonNegativeMs(value ?? this.#options.stopTimeoutMs, 5000);
    }

    #killTimeout(value?: number): number {
        return nonNegativeMs(value ?? this.#options.killTimeoutMs, 2000);
    }

    #report(error: HelperError): void {
        this.#errors.push(error);
        if (this.#state === 'running') this.#deliver(() => reportError(this, error));
    }

    // Lines that came in the same read as "ready" are handed out only once
    // the code awaiting startRecorder() has had its turn to add listeners.
    #deliver(event: () => void): void {
        if (this.#held === undefined) event();
        else this.#held.push(event);
    }

    #onLine(line: EventLine): void {
        switch (line.event) {
            case 'ready':
                this.#onReady(line);
                return;
            case 'notice': {
                if (typeof line.code !== 'string' || typeof line.message !== 'string') break;
                const notice = line as unknown as Notice;
                this.#notices.push(notice);
                if (this.#state === 'running') this.#deliver(() => this.emit('notice', notice));
                return;
            }
            case 'error': {
                const error = errorFromLine(this.#proc, line);
                if (error === undefined) break;
                if (this.#state === 'starting') this.#startError ??= error;
                else this.#report(error);
                return;
            }
            case 'stopped':
                this.#stoppedLine = true;
                return;
            default:
                this.#report(this.#proc.protocolError(`unknown event "${line.event}"`, JSON.stringify(line)));
                return;
        }
        this.#report(this.#proc.protocolError(`malformed "${line.event}" line`, JSON.stringify(line)));
    }

    #onReady(line: EventLine): void {
        if (this.#state !== 'starting' || this.#aborted || this.#startError !== undefined) {
            if (this.#state !== 'starting') this.#report(this.#proc.protocolError('a second "ready" line', JSON.stringify(line)));
            return;
        }
        const format = formatFromReady(line);
        if (format === undefined) {
            this.#startError = this.#proc.protocolError('a "ready" line without a usable format', JSON.stringify(line));
            void this.#proc.end(0, this.#killTimeout());
            return;
        }
        clearTimeout(this.#startTimer);
        this.#format = format;
        this.#frameBytes = 2 * format.channels;
        this.#state = 'running';
        this.#held = [];
        setImmediate(() => {
            const held = this.#held ?? [];
            this.#held = undefined;
            for (const event of held) event();
        });
        this.#startOutput();
        this.#resolveStart(this);
    }

    #startOutput(): void {
        if (this.#outputStarted) return;
        this.#outputStarted = true;
        const stdout = this.#proc.child.stdout;
        if (stdout === null) return;
        // Bytes before a usable "ready" line cannot be framed: dropped.
        if (this.#state !== 'running') this.#discard = true;
        stdout.on('data', (chunk: Buffer) => this.#onData(chunk));
        stdout.on('end', () => this.#endOutput());
    }

    #resumeOutput(): void {
        if (this.#outputStarted) this.#proc.child.stdout?.resume();
    }

    #onData(chunk: Buffer): void {
        this.#bytes += chunk.length;
        if (this.#discard) return;
        const data = this.#rest.length > 0 ? Buffer.concat([this.#rest, chunk]) : chunk;
        const whole = data.length - (data.length % this.#frameBytes);
        this.#rest = whole < data.length ? Buffer.from(data.subarray(whole)) : noBytes;
        if (whole === 0) return;
        if (!this.pcm.push(data.subarray(0, whole)) && this.#proc.running) this.#proc.child.stdout?.pause();
    }

    #endOutput(): void {
        if (this.#state === 'running' && this.#bytes % this.#frameBytes !== 0 && this.#stoppedLine) {
            this.#report(this.#proc.protocolError('PCM ended inside a frame', ''));
        }
        if (!this.pcm.destroyed) this.pcm.push(null);
    }

    #finish(): RecordingSummary {
        if (this.#summary !== undefined) return this.#summary;
        clearTimeout(this.#startTimer);
        this.#options.signal?.removeEventListener('abort', this.#onAbort);
        const proc = this.#proc;
        const exit = proc.exit ?? { exitCode: null, signal: null };
        const wasStarting = this.#state === 'starting';
        if (wasStarting) {
            const error = this.#aborted
                ? abortError(this.#options.signal as AbortSignal)
                : proc.spawnError !== undefined
                  ? new HelperError('spawn_failed', `${proc.helper} could not be started: ${proc.spawnError.message}`, {
                        helper: proc.helper,
                    })
                  : (this.#startError ??
                    new HelperError('exited', `${proc.helper} ended before it was ready (${describeExit(exit)})`, {
                        helper: proc.helper,
                    }));
            if (error instanceof HelperError) {
                stampExit([error], exit);
                error.lines = proc.stderrLines.slice();
            }
            this.#rejectStart(error);
        } else if (!this.#stoppedLine && proc.forced === null) {
            this.#errors.push(
                new HelperError('exited', `${proc.helper} ended without "stopped" (${describeExit(exit)})`, {
                    helper: proc.helper,
                    lines: proc.stderrLines.slice(),
                }),
            );
        }
        stampExit(this.#errors, exit);
        const frames = Math.floor(this.#bytes / this.#frameBytes);
        this.#summary = {
            frames,
            seconds: this.sampleRate > 0 ? frames / this.sampleRate : 0,
            exitCode: exit.exitCode,
            signal: exit.signal,
            stopped: this.#stoppedLine,
            forced: proc.forced,
            notices: this.#notices.slice(),
            errors: this.#errors.slice(),
            discardedBytes: this.#state === 'running' ? this.#bytes % this.#frameBytes : 0,
        };
        this.#state = 'ended';
        if (!wasStarting) {
            const last = this.#errors.at(-1);
            const summary = this.#summary;
            this.#deliver(() => {
                if (last !== undefined && last.code === 'exited') reportError(this, last);
                this.emit('exit', summary);
            });
        }
        return this.#summary;
    }
}

/** Starts velko-recorder; resolves once it is ready and recording. */
export function startRecorder(options: RecorderOptions = {}): Promise<Recorder> {
    return Recorder[create](options);
}
