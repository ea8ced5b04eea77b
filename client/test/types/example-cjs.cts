// The CommonJS declarations, as a host written in CommonJS TypeScript sees them.
import helpers = require('velko-helpers');

export async function example(): Promise<number> {
    const recorder = await helpers.startRecorder({ chunkMs: 50 });
    // @ts-expect-error: wrong event name
    recorder.on('stoped', () => {});
    return (await recorder.stop()).frames;
}
