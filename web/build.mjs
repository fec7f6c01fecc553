// Bundles the page into one minified script beside its HTML.
//   node build.mjs OUT_DIR      (default: ../build/web)
import { build } from 'esbuild';
import { copyFile, mkdir, stat } from 'node:fs/promises';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const out = resolve(process.argv[2] ?? join(here, '..', 'build', 'web'));
await mkdir(out, { recursive: true });
// The page, its worker (which checks and decodes models) and the worker that reads dropped files.
for (const [entry, file] of [['main.js', 'viewer.js'], ['worker.js', 'worker.js'], ['import_worker.js', 'import_worker.js']]) {
    await build({
        entryPoints: [join(here, 'src', entry)],
        bundle: true,
        minify: true,
        format: 'iife',
        target: ['es2022'],
        outfile: join(out, file),
        legalComments: 'external',
        logLevel: 'warning',
    });
}
await copyFile(join(here, 'index.html'), join(out, 'index.html'));
const { size } = await stat(join(out, 'viewer.js'));
const { size: workerSize } = await stat(join(out, 'worker.js'));
console.log(`web: ${out}/viewer.js, ${size} bytes; worker.js, ${workerSize} bytes`);
