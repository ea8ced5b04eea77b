import type { RecordingSummary } from './recorder.js';

/** Codes the helpers write in their "error" lines. */
export type HelperFailureCode =
    | 'bad_args'
    | 'no_input_device'
    | 'tap_denied'
    | 'aggregate_failed'
    | 'unexpected_layout'
    | 'io_proc_failed'
    | 'start_failed'
    | 'device_lost'
    | 'output_failed'
    | 'monitor';

/**
 * Codes the client adds: "protocol" for a line it cannot read, "exited" for
 * a helper that ended without saying why, "spawn_failed" when the program
 * could not be started at all, "start_timeout" for a recorder that did not
 * become ready in time.
 */
export type ClientFailureCode = 'protocol' | 'exited' | 'spawn_failed' | 'start_timeout';

/** Known codes are typed; a helper newer than this client may send others. */
export type HelperErrorCode = HelperFailureCode | ClientFailureCode | (string & {});

export interface HelperErrorDetails {
    helper: string;
    osstatus?: number | undefined;
    exitCode?: number | null | undefined;
    signal?: NodeJS.Signals | null | undefined;
    lines?: readonly string[] | undefined;
    raw?: string | undefined;
}

/** A helper's failure, or a failure to talk to it. */
export class HelperError extends Error {
    override readonly name = 'HelperError';
    readonly code: HelperErrorCode;
    /** The program that failed ("velko-recorder", ...). */
    readonly helper: string;
    /** The platform status of the failed call, when the helper gave one. */
    readonly osstatus: number | undefined;
    /** Exit status; null while the helper runs or when a signal ended it. */
    exitCode: number | null;
    /** The signal that ended the helper, if one did. */
    signal: NodeJS.Signals | null;
    /** The helper's standard-error lines up to the failure (the last 100). */
    lines: readonly string[];
    /** For "protocol": the text that could not be read. */
    readonly raw: string | undefined;
    /** For a recording that ended in this failure: what was recorded. */
    summary: RecordingSummary | undefined;

    constructor(code: HelperErrorCode, message: string, details: HelperErrorDetails) {
        super(message);
        this.code = code;
        this.helper = details.helper;
        this.osstatus = details.osstatus;
        this.exitCode = details.exitCode ?? null;
        this.signal = details.signal ?? null;
        this.lines = details.lines ?? [];
        this.raw = details.raw;
        this.summary = undefined;
    }
}

/** No file at any of the places where a helper may be. */
export class HelperNotFoundError extends Error {
    override readonly name = 'HelperNotFoundError';
    readonly code = 'helper_not_found';
    /** Every path looked at, in order. */
    readonly tried: readonly string[];

    constructor(file: string, tried: readonly string[]) {
        super(
            `${file} not found; tried ${tried.join(', ')} ` +
                '(pass the binary or dir option, or set VELKO_HELPERS_DIR)',
        );
        this.tried = tried;
    }
}

/** What an abort rejects with, as Node's own APIs do. */
export function abortError(signal: AbortSignal): Error {
    const error = new Error('the operation was aborted', { cause: signal.reason });
    error.name = 'AbortError';
    Object.defineProperty(error, 'code', { value: 'ABORT_ERR', enumerable: true });
    return error;
}
