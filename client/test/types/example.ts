// Compiled with tsc --noEmit against the package's own declarations: what a
// host's TypeScript sees. Each @ts-expect-error line must fail to compile,
// or the check fails.
import {
    HelperError,
    getNotificationSettings,
    recordToWav,
    startRecorder,
    watchDesktopClicks,
    watchMicrophoneUse,
    type AuthorizationStatus,
    type MicrophoneUser,
    type Notice,
    type RecordingSummary,
} from 'velko-helpers';

export async function example(signal: AbortSignal): Promise<void> {
    const recorder = await startRecorder({ sampleRate: 48000, chunkMs: 100, signal });
    const rate: number = recorder.sampleRate;
    const layout: readonly number[] = recorder.inputBufferChannels;
    recorder.on('notice', (notice: Notice) => {
        if (notice.code === 'system_audio_silent') console.log(notice.outputActive === true, rate, layout);
        if (notice.code === 'device_rate_changed') console.log(notice.deviceRate);
        if (notice.code === 'a_code_from_a_newer_recorder') console.log(notice.message);
    });
    recorder.on('error', (error: HelperError) => console.log(error.code, error.osstatus, error.exitCode, error.lines));
    recorder.once('exit', (summary: RecordingSummary) => console.log(summary.forced, summary.frames));
    for await (const chunk of recorder.pcm) console.log((chunk as Buffer).length);
    const summary: RecordingSummary = await recorder.stop({ timeoutMs: 1000 });
    console.log(summary.seconds, summary.signal, summary.notices.length);

    // @ts-expect-error: the announced format is read-only
    recorder.sampleRate = 16000;
    // @ts-expect-error: the recorder has no "data" event; PCM is recorder.pcm
    recorder.on('data', () => {});
    // @ts-expect-error: a notice listener gets a Notice, not a number
    recorder.on('notice', (n: number) => console.log(n));
    // @ts-expect-error: sampleRate is a number
    await startRecorder({ sampleRate: '48000' });
    // @ts-expect-error: unknown option
    await startRecorder({ rate: 48000 });

    await recordToWav('out.wav', { seconds: 10, chunkMs: 50 });
    // @ts-expect-error: seconds is a number
    await recordToWav('out.wav', { seconds: '10' });

    const watcher = watchMicrophoneUse({ intervalMs: 500 });
    watcher.on('change', (users: readonly MicrophoneUser[], previous: readonly MicrophoneUser[]) => {
        for (const user of users) console.log(user.bundleId, user.pid, user.deviceUID ?? '-', user.preexisting);
        console.log(previous.length);
    });
    // @ts-expect-error: the watcher has no "click" event
    watcher.on('click', () => {});
    // @ts-expect-error: intervalMs is a number
    watchMicrophoneUse({ intervalMs: true });
    await watcher.close();

    const clicks = watchDesktopClicks();
    clicks.on('click', () => console.log('desktop'));
    // @ts-expect-error: wrong event name
    clicks.on('clik', () => {});
    await clicks.close();

    const status: AuthorizationStatus = (await getNotificationSettings()).authorizationStatus;
    // @ts-expect-error: not one of the statuses
    const wrong: AuthorizationStatus = 'granted';
    console.log(status, wrong);
}
