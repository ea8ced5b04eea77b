import { open, unlink } from 'node:fs/promises';

import { startRecorder, type RecorderOptions, type RecordingSummary } from './recorder.js';

export interface RecordToWavOptions extends RecorderOptions {
    /** Length of the recording; without it, the recording lasts until `signal` aborts. */
    seconds?: number;
}

const headerBytes = 44;
// The RIFF sizes are 32-bit: a longer recording ends at this size.
const maxDataBytes = 0xffffffff - (headerBytes - 8);

/** A canonical 44-byte header of 16-bit PCM. */
export function wavHeader(sampleRate: number, channels: number, dataBytes: number): Buffer {
    const header = Buffer.alloc(headerBytes);
    const blockAlign = channels * 2;
    const rate = Math.round(sampleRate);
    header.write('RIFF', 0, 'ascii');
    header.writeUInt32LE(headerBytes - 8 + dataBytes, 4);
    header.write('WAVE', 8, 'ascii');
    header.write('fmt ', 12, 'ascii');
    header.writeUInt32LE(16, 16);
    header.writeUInt16LE(1, 20); // PCM
    header.writeUInt16LE(channels, 22);
    header.writeUInt32LE(rate, 24);
    header.writeUInt32LE(rate * blockAlign, 28);
    header.writeUInt16LE(blockAlign, 32);
    header.writeUInt16LE(16, 34);
    header.write('data', 36, 'ascii');
    header.writeUInt32LE(dataBytes, 40);
    return header;
}

/**
 * Records to a WAV file and resolves with the summary, whose frames and
 * seconds are those of the file. The header is completed when the recording
 * ends, also when it ends in a failure: then the promise rejects with a
 * HelperError whose `summary` tells what the file holds.
 */
export async function recordToWav(path: string, options: RecordToWavOptions = {}): Promise<RecordingSummary> {
    const { seconds, ...recorderOptions } = options;
    if (seconds !== undefined && !(Number.isFinite(seconds) && seconds > 0)) {
        throw new TypeError('recordToWav: seconds must be a positive number');
    }
    if (seconds === undefined && options.signal === undefined) {
        throw new TypeError('recordToWav: give seconds or an AbortSignal to end the recording');
    }
    const file = await open(path, 'w');
    let recorder;
    try {
        recorder = await startRecorder(recorderOptions);
    } catch (error) {
        await file.close();
        await unlink(path).catch(() => {});
        throw error;
    }
    // The summary carries the errors: no warning for a run nobody listens to.
    recorder.on('error', () => {});
    const frameBytes = recorder.channels * 2;
    const wantedFrames = seconds === undefined ? Infinity : Math.round(seconds * recorder.sampleRate);
    const limit = Math.min(maxDataBytes - (maxDataBytes % frameBytes), wantedFrames * frameBytes);
    let dataBytes = 0;
    let writeError: unknown;
    try {
        await file.write(wavHeader(recorder.sampleRate, recorder.channels, 0), 0, headerBytes, 0);
        for await (const chunk of recorder.pcm as AsyncIterable<Buffer>) {
            const take = Math.min(chunk.length, limit - dataBytes);
            await file.write(chunk, 0, take, headerBytes + dataBytes);
            dataBytes += take;
            if (dataBytes >= limit) break; // the rest is dropped while the recorder stops
        }
    } catch (error) {
        writeError = error;
    }
    const summary = await recorder.stop();
    try {
        await file.write(wavHeader(recorder.sampleRate, recorder.channels, dataBytes), 0, headerBytes, 0);
    } finally {
        await file.close();
    }
    if (writeError !== undefined) throw writeError;
    const frames = dataBytes / frameBytes;
    const result = { ...summary, frames, seconds: frames / recorder.sampleRate };
    // Unreadable lines alone do not spoil a recording; a failure that ended it does.
    const failure = summary.errors.find((error) => error.code !== 'protocol');
    if (failure !== undefined) {
        failure.summary = result;
        throw failure;
    }
    return result;
}
