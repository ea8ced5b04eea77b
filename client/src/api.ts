export {
    HelperError,
    HelperNotFoundError,
    type ClientFailureCode,
    type HelperErrorCode,
    type HelperFailureCode,
} from './errors.js';
export type { ForcedSignal, HelperExit } from './helper-process.js';
export { helperFiles, locateHelper, packagedHelpersDir, type HelperLocation } from './locate.js';
export {
    getNotificationSettings,
    type AuthorizationStatus,
    type NotificationSettings,
    type NotificationSettingsOptions,
} from './notify.js';
export {
    Recorder,
    startRecorder,
    type KnownNoticeCode,
    type Notice,
    type NoticeCode,
    type RecorderEvents,
    type RecorderFormat,
    type RecorderOptions,
    type RecordingSummary,
    type StopOptions,
} from './recorder.js';
export { TypedEmitter } from './typed-events.js';
export { recordToWav, wavHeader, type RecordToWavOptions } from './wav.js';
export {
    DesktopClickWatcher,
    MicrophoneUseWatcher,
    watchDesktopClicks,
    watchMicrophoneUse,
    type DesktopClickEvents,
    type MicrophoneUseEvents,
    type MicrophoneUseOptions,
    type MicrophoneUser,
    type WatcherEvents,
    type WatcherOptions,
} from './watchers.js';
