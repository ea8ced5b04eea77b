import { EventEmitter } from 'node:events';

/** Event name to listener arguments. */
export type EventArgs<T> = { [K in keyof T]: unknown[] };

/**
 * An EventEmitter whose listener methods are narrowed to one set of events,
 * so that a wrong event name or listener fails to compile.
 */
export class TypedEmitter<T extends EventArgs<T>> extends EventEmitter {}

export interface TypedEmitter<T extends EventArgs<T>> {
    on<K extends keyof T & string>(event: K, listener: (...args: T[K]) => void): this;
    once<K extends keyof T & string>(event: K, listener: (...args: T[K]) => void): this;
    off<K extends keyof T & string>(event: K, listener: (...args: T[K]) => void): this;
    addListener<K extends keyof T & string>(event: K, listener: (...args: T[K]) => void): this;
    removeListener<K extends keyof T & string>(event: K, listener: (...args: T[K]) => void): this;
    prependListener<K extends keyof T & string>(event: K, listener: (...args: T[K]) => void): this;
    prependOnceListener<K extends keyof T & string>(event: K, listener: (...args: T[K]) => void): this;
    emit<K extends keyof T & string>(event: K, ...args: T[K]): boolean;
    listenerCount<K extends keyof T & string>(event: K): number;
    removeAllListeners<K extends keyof T & string>(event?: K): this;
}
