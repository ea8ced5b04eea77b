import { createRequire } from 'node:module';

import { helperFiles, locateHelper, type HelperLocation } from './locate.js';

export type AuthorizationStatus = 'notDetermined' | 'denied' | 'authorized' | 'provisional' | 'unknown';

export interface NotificationSettings {
    authorizationStatus: AuthorizationStatus;
}

export interface NotificationSettingsOptions {
    /** The addon's own path; nothing else is tried. */
    addon?: string;
    /** A folder holding the helpers and the addon; nothing else is tried. */
    dir?: string;
}

interface Addon {
    getNotificationSettings(): Promise<NotificationSettings>;
}

/**
 * The operating system's notification authorization for this application.
 * Loads velko-notify-prefs.node (once per process) and returns its promise.
 */
export async function getNotificationSettings(options: NotificationSettingsOptions = {}): Promise<NotificationSettings> {
    const where: HelperLocation = { binary: options.addon, dir: options.dir };
    const file = locateHelper(helperFiles.notifyPrefs, where, false);
    // require() keeps one module per path for the whole process, whichever
    // build of this package asks: the addon refuses a second load.
    const addon = createRequire(file)(file) as Addon;
    return addon.getNotificationSettings();
}
