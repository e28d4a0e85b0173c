// Runs the browser test files two at a time (each starts a classroom server, the fake
// LM Studio and a browser), with Node's own runner and its spec reporter:
//     node run.mjs [file.test.js ...]      (no file: every *.test.js of this folder)
// Exits non-zero when a test fails.
import { readdirSync } from 'node:fs';
import path from 'node:path';
import { run } from 'node:test';
import { spec } from 'node:test/reporters';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const named = process.argv.slice(2).map((f) => path.resolve(f));
const files = named.length > 0 ? named
  : readdirSync(here).filter((f) => f.endsWith('.test.js')).sort().map((f) => path.join(here, f));

let failed = false;
const stream = run({ files, concurrency: 2 });
stream.on('test:fail', () => { failed = true; });
stream.on('end', () => { process.exitCode = failed ? 1 : 0; });
stream.compose(new spec()).pipe(process.stdout);
