// Splits a byte stream into lines. A line may arrive in many reads, and many
// lines in one read; UTF-8 never puts a 0x0A byte inside a character, so
// cutting the bytes at line feeds is safe before decoding.

/** Longer lines are cut off and reported rather than held without bound. */
export const maxLineBytes = 1 << 20;

export interface SplitLine {
    text: string;
    /** The line was longer than maxLineBytes: text holds its start only. */
    truncated: boolean;
}

export class LineSplitter {
    #parts: Buffer[] = [];
    #length = 0;
    #overflow = false;

    push(chunk: Buffer): SplitLine[] {
        const lines: SplitLine[] = [];
        let from = 0;
        for (let at = chunk.indexOf(0x0a); at !== -1; at = chunk.indexOf(0x0a, from)) {
            this.#append(chunk.subarray(from, at));
            lines.push(this.#take());
            from = at + 1;
        }
        this.#append(chunk.subarray(from));
        return lines;
    }

    /** What is left after the last line feed, if anything. */
    end(): SplitLine | undefined {
        return this.#length > 0 || this.#overflow ? this.#take() : undefined;
    }

    #append(bytes: Buffer): void {
        const room = maxLineBytes - this.#length;
        if (bytes.length > room) this.#overflow = true;
        const kept = bytes.subarray(0, Math.max(0, room));
        if (kept.length > 0) {
            this.#parts.push(Buffer.from(kept));
            this.#length += kept.length;
        }
    }

    #take(): SplitLine {
        const line = { text: Buffer.concat(this.#parts, this.#length).toString('utf8'), truncated: this.#overflow };
        this.#parts = [];
        this.#length = 0;
        this.#overflow = false;
        return line;
    }
}
