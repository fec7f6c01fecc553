// Draws each model file with zelhost (offscreen snapshot) and with a second, independent reader
// (three.js's own 3DS, OBJ/MTL and glTF loaders in headless Chromium) from the same side, and
// writes side-by-side pictures, a table and a summary line.
//
//   node bench/render/compare_readers.mjs ZELHOST FOLDER OUT [LIST]
//
// FOLDER holds the model files (.3ds, .obj, .gltf, .glb) with what they name beside them; LIST
// names the ones to draw, one a line, relative to FOLDER, optionally followed by a tab and where the
// file comes from (repository, path, licence; shown in the table); without LIST every model file
// under FOLDER is drawn. OUT receives NAME.png for each file (zelhost | second reader | where they
// differ), table.tsv and summary.txt.
//
// How one file is drawn: its folder is copied into a private temporary folder with the model named
// model.3d.EXT (the package's catalogue keeps names that hold ".3d"), and zelhost runs the script
// `key >` (the first catalogue entry), `view frame`, `view orbit 30 20` (from the front-left, a
// little above), taking the snapshot and dumping the scene. The second reader gets the same files,
// the camera's world matrix from the dump, the model's world matrix (its geomSink node's: zelhost's
// axis and unit conversion, which the readers are not compared on), the same field of view and the
// same shading as zelhost's renderer (compare_readers.html says how), so that what differs is what
// the two readers made of the file.
//
// What is measured: the model's pixels in zelhost's picture are those that differ from a second
// zelhost snapshot from the same camera with an invisible stand-in model of the same bounding
// sphere (so the ground and sky drop out); the second reader's are those it drew. Both leave out the
// status window and the heads-up line. Per file: the overlap of the two silhouettes (the share of
// their union that both drew, a pixel of one within a pixel of the other's edge counting as shared:
// multisampled edges and rasterisation rules are no difference of the readers'), the mean colour
// difference where both drew (0-255, largest channel), and the share of those pixels whose colour
// differs by more than 32. A file "differs" when the overlap is below
// 0.95, the mean colour difference above 16, or more than 10 % of the shared pixels differ in
// colour.
//
// Env: ZEL_CHROMIUM (default /usr/bin/chromium), ZEL_COMPARE_SIZE (default 960x540),
// ZEL_COMPARE_ORBIT (default "30 20"). Needs ImageMagick (convert) and web/node_modules (npm ci in
// web/).
import { spawnSync } from 'node:child_process';
import {
    copyFileSync, existsSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync, statSync, writeFileSync,
} from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { basename, dirname, extname, join, relative, resolve, sep } from 'node:path';

const here = dirname(new URL(import.meta.url).pathname);
const top = resolve(here, '..', '..');
const nodeModules = join(top, 'web', 'node_modules');

const [zelhostArg, folderArg, outArg, listArg] = process.argv.slice(2);
if (!zelhostArg || !folderArg || !outArg) {
    console.error('usage: node bench/render/compare_readers.mjs ZELHOST FOLDER OUT [LIST]');
    process.exit(2);
}
const zelhost = resolve(zelhostArg);
const folder = resolve(folderArg);
const out = resolve(outArg);
for (const [what, path] of [['zelhost', zelhost], ['folder', folder]])
    if (!existsSync(path)) {
        console.error(`compare_readers: no such ${what}: ${path}`);
        process.exit(2);
    }
if (!existsSync(join(nodeModules, 'three')) || !existsSync(join(nodeModules, 'puppeteer-core'))) {
    console.error(`compare_readers: ${nodeModules} lacks three or puppeteer-core (run npm ci in web/)`);
    process.exit(2);
}
if (spawnSync('convert', ['-version']).status !== 0) {
    console.error('compare_readers: ImageMagick (convert) not found');
    process.exit(2);
}
const sizeMatch = /^(\d+)x(\d+)$/.exec(process.env.ZEL_COMPARE_SIZE ?? '960x540');
if (!sizeMatch) {
    console.error('compare_readers: ZEL_COMPARE_SIZE must be WxH');
    process.exit(2);
}
const [width, height] = [Number(sizeMatch[1]), Number(sizeMatch[2])];
const orbit = (process.env.ZEL_COMPARE_ORBIT ?? '30 20').trim();
if (!/^-?[\d.]+ -?[\d.]+$/.test(orbit)) {
    console.error('compare_readers: ZEL_COMPARE_ORBIT must be two numbers');
    process.exit(2);
}
const fovY = 60;
const frameShare = 0.8;
const modelTypes = new Set(['.3ds', '.obj', '.gltf', '.glb']);
// What a model's folder may hand on besides the model: material libraries, buffers, pictures.
const sideTypes = new Set(['.mtl', '.bin', '.png', '.jpg', '.jpeg', '.tga', '.bmp']);

// The files to draw: [relative path, origin].
function listed() {
    if (listArg) {
        return readFileSync(listArg, 'utf8').split('\n')
            .map((l) => l.replace(/\r$/, ''))
            .filter((l) => l.trim() && !l.startsWith('#'))
            .map((l) => {
                const [file, ...rest] = l.split('\t');
                return [file.trim(), rest.join(' | ').trim()];
            });
    }
    const found = [];
    const walk = (dir) => {
        for (const e of readdirSync(dir, { withFileTypes: true }).sort((a, b) => a.name.localeCompare(b.name))) {
            const p = join(dir, e.name);
            if (e.isDirectory() && !e.isSymbolicLink()) walk(p);
            else if (e.isFile() && modelTypes.has(extname(e.name).toLowerCase())) found.push([relative(folder, p), '']);
        }
    };
    walk(folder);
    return found;
}

// The model's folder copied for one run: the model as model.3d.EXT, material libraries, buffers
// and pictures (subfolders too) as they are; other models and anything the catalogue would take
// (a name holding ".3d") left out, and symbolic links never followed.
function stage(model, into) {
    const ext = extname(model).toLowerCase();
    const source = dirname(model);
    const copy = (from, to, depth) => {
        mkdirSync(to, { recursive: true });
        for (const e of readdirSync(from, { withFileTypes: true })) {
            const p = join(from, e.name);
            if (e.isDirectory() && depth < 3) copy(p, join(to, e.name), depth + 1);
            if (!e.isFile() || /\.3d/i.test(e.name)) continue;
            if (sideTypes.has(extname(e.name).toLowerCase())) copyFileSync(p, join(to, e.name));
        }
    };
    copy(source, into, 0);
    copyFileSync(model, join(into, `model.3d${ext}`));
    return `model.3d${ext}`;
}

// Row-vector matrices as the dump lists them (16 numbers, translation last).
const multiply = (a, b) => {
    const r = new Array(16).fill(0);
    for (let i = 0; i < 4; ++i)
        for (let j = 0; j < 4; ++j)
            for (let k = 0; k < 4; ++k) r[i * 4 + j] += a[i * 4 + k] * b[k * 4 + j];
    return r;
};
const transform = (m, p) => [0, 1, 2].map((j) => p[0] * m[j] + p[1] * m[4 + j] + p[2] * m[8 + j] + m[12 + j]);
const sub = (a, b) => a.map((v, i) => v - b[i]);
const len = (a) => Math.hypot(...a);

// Each node of the dump with its world matrix and its parent.
function nodes(dump) {
    const all = [];
    const walk = (n, parentWorld, parent) => {
        const world = parentWorld ? multiply(n.matrix, parentWorld) : n.matrix;
        const entry = { name: n.name, world, parent, node: n };
        all.push(entry);
        for (const c of n.children ?? []) walk(c, world, entry);
    };
    walk(dump.scene, null, null);
    return all;
}
const triangleCount = (n) => (n.mesh?.triangles ?? 0) + (n.children ?? []).reduce((s, c) => s + triangleCount(c), 0);

function readDump(file) {
    const all = nodes(JSON.parse(readFileSync(file, 'utf8')));
    const head = all.find((n) => n.name === 'head');
    const sink = all.find((n) => n.name.startsWith('geomSink -> '));
    return { head, sink, triangles: sink ? triangleCount(sink.node) : 0 };
}

function zel(dir, models, script, picture) {
    writeFileSync(join(dir, 'run.zel'), script);
    // --no-cache: every run imports afresh and leaves the user's import cache as it was.
    const r = spawnSync(zelhost, ['--no-cache', '--models', models, '--script', join(dir, 'run.zel'), '--snapshot', picture,
        '--size', `${width}x${height}`], { cwd: dir, encoding: 'utf8', timeout: 600000, env: withoutDisplay() });
    return { status: r.status, err: (r.stderr ?? '') + (r.error ? `${r.error.message}\n` : '') };
}
function withoutDisplay() {
    const env = { ...process.env };
    for (const k of ['DISPLAY', 'WAYLAND_DISPLAY']) delete env[k];
    return env;
}

// A stand-in OBJ of two zero-area triangles whose bounding sphere is (centre, radius) in the scene,
// under the placed model's parent: `view frame` and the orbit put the camera where they put it for
// the model, and nothing of it is drawn.
function standIn(parentWorld, centre, radius) {
    const inverse = invertAffine(parentWorld);
    const scale = len(parentWorld.slice(0, 3));
    const c = transform(inverse, centre);
    const r = radius / scale;
    const v = [[c[0] - r, c[1], c[2]], [c[0] + r, c[1], c[2]], [c[0], c[1], c[2]]];
    return `${v.map((p) => `v ${p.map((x) => x.toPrecision(12)).join(' ')}`).join('\n')}\nf 1 2 3\nf 2 1 3\n`;
}
function invertAffine(m) {
    const a = [m[0], m[1], m[2], m[4], m[5], m[6], m[8], m[9], m[10]];
    const det = a[0] * (a[4] * a[8] - a[5] * a[7]) - a[1] * (a[3] * a[8] - a[5] * a[6]) + a[2] * (a[3] * a[7] - a[4] * a[6]);
    const inv = [
        (a[4] * a[8] - a[5] * a[7]) / det, (a[2] * a[7] - a[1] * a[8]) / det, (a[1] * a[5] - a[2] * a[4]) / det,
        (a[5] * a[6] - a[3] * a[8]) / det, (a[0] * a[8] - a[2] * a[6]) / det, (a[2] * a[3] - a[0] * a[5]) / det,
        (a[3] * a[7] - a[4] * a[6]) / det, (a[1] * a[6] - a[0] * a[7]) / det, (a[0] * a[4] - a[1] * a[3]) / det,
    ];
    const t = [m[12], m[13], m[14]];
    const r = [
        inv[0], inv[1], inv[2], 0, inv[3], inv[4], inv[5], 0, inv[6], inv[7], inv[8], 0, 0, 0, 0, 1,
    ];
    const moved = transform(r, t);
    r[12] = -moved[0];
    r[13] = -moved[1];
    r[14] = -moved[2];
    return r;
}

// RGBA pixels of a PNG (ImageMagick), or null.
function pixels(png) {
    const r = spawnSync('convert', [png, '-background', 'none', '-extent', `${width}x${height}`, 'rgba:-'],
        { maxBuffer: 1 << 30 });
    return r.status === 0 && r.stdout.length === width * height * 4 ? r.stdout : null;
}
function writeRgba(buffer, png) {
    return spawnSync('convert', ['-size', `${width}x${height}`, '-depth', '8', 'rgba:-', png], { input: buffer }).status === 0;
}

// The status window and the heads-up line are no part of the model's picture.
function interfaceMask() {
    const skip = new Uint8Array(width * height);
    const box = (x0, y0, x1, y1) => {
        for (let y = Math.max(0, y0); y < Math.min(height, y1); ++y)
            for (let x = Math.max(0, x0); x < Math.min(width, x1); ++x) skip[y * width + x] = 1;
    };
    box(0, 0, 250, 140);
    box(0, height - 48, width, height);
    return skip;
}

function measure(zelPicture, platePicture, otherPicture) {
    const z = pixels(zelPicture);
    const plate = pixels(platePicture);
    const o = pixels(otherPicture);
    if (!z || !plate || !o) return null;
    const skip = interfaceMask();
    const count = width * height;
    const inZ = new Uint8Array(count);
    const inO = new Uint8Array(count);
    for (let i = 0, p = 0; p < count; ++p, i += 4) {
        if (skip[p]) continue;
        inZ[p] = Math.max(Math.abs(z[i] - plate[i]), Math.abs(z[i + 1] - plate[i + 1]), Math.abs(z[i + 2] - plate[i + 2])) > 3;
        inO[p] = o[i + 3] > 0;
    }
    // An edge one pixel off (multisampling, rasterisation rules) is no difference of the readers'.
    const near = (mask, p) => {
        const x = p % width;
        const y = (p - x) / width;
        for (let dy = -1; dy <= 1; ++dy)
            for (let dx = -1; dx <= 1; ++dx) {
                const xx = x + dx;
                const yy = y + dy;
                if (xx >= 0 && yy >= 0 && xx < width && yy < height && mask[yy * width + xx]) return true;
            }
        return false;
    };
    let zc = 0, oc = 0, both = 0, union = 0, apart = 0, colourSum = 0, colourFar = 0;
    const diff = Buffer.alloc(count * 4);
    for (let i = 0, p = 0; p < count; ++p, i += 4) {
        const bg = (plate[i] + plate[i + 1] + plate[i + 2]) / 3;
        diff[i] = diff[i + 1] = diff[i + 2] = Math.round(bg * 0.5);
        diff[i + 3] = 255;
        zc += inZ[p];
        oc += inO[p];
        if (!inZ[p] && !inO[p]) continue;
        ++union;
        if (inZ[p] && inO[p]) {
            ++both;
            const d = Math.max(Math.abs(z[i] - o[i]), Math.abs(z[i + 1] - o[i + 1]), Math.abs(z[i + 2] - o[i + 2]));
            colourSum += d;
            if (d > 32) {
                ++colourFar;
                diff[i] = 255; diff[i + 1] = 200; diff[i + 2] = 0; // both drew it, in other colours
            } else {
                diff[i] = diff[i + 1] = diff[i + 2] = 200; // both drew it alike
            }
        } else if (inZ[p] ? near(inO, p) : near(inZ, p)) {
            diff[i] = diff[i + 1] = diff[i + 2] = 120; // an edge a pixel off
        } else if (inZ[p]) {
            ++apart;
            diff[i] = 230; diff[i + 1] = 40; diff[i + 2] = 40; // zelhost only
        } else {
            ++apart;
            diff[i] = 40; diff[i + 1] = 120; diff[i + 2] = 255; // second reader only
        }
    }
    return {
        zelPixels: zc,
        otherPixels: oc,
        overlap: union ? 1 - apart / union : 1,
        colourMean: both ? colourSum / both : 0,
        colourFar: both ? colourFar / both : 0,
        diff,
    };
}

function serve(root) {
    const types = { '.html': 'text/html', '.js': 'text/javascript', '.json': 'application/json', '.png': 'image/png',
        '.jpg': 'image/jpeg', '.jpeg': 'image/jpeg', '.bmp': 'image/bmp' };
    // A name as written, else the one in its folder that matches ignoring case, else the last part
    // of the name ignoring case in the model's folder: the lookups zelhost's helper makes.
    const find = (base, rel) => {
        const direct = join(base, rel);
        if (!direct.startsWith(base + sep)) return null;
        if (existsSync(direct) && statSync(direct).isFile()) return direct;
        const match = (dir, name) => {
            try {
                const hit = readdirSync(dir).find((n) => n.toLowerCase() === name.toLowerCase());
                return hit && statSync(join(dir, hit)).isFile() ? join(dir, hit) : null;
            } catch {
                return null;
            }
        };
        return match(dirname(direct), basename(direct)) ?? match(base, basename(rel.replace(/\\/g, '/')));
    };
    const server = createServer((req, res) => {
        const path = decodeURIComponent(new URL(req.url, 'http://x').pathname);
        let file = null;
        if (path === '/page.html') file = join(here, 'compare_readers.html');
        else if (path.startsWith('/three/')) file = find(join(nodeModules, 'three'), path.slice('/three/'.length));
        else if (path.startsWith('/model/') && root.current) file = find(root.current, path.slice('/model/'.length));
        if (!file) {
            res.writeHead(404);
            res.end();
            return;
        }
        res.writeHead(200, { 'content-type': types[extname(file).toLowerCase()] ?? 'application/octet-stream' });
        res.end(readFileSync(file));
    });
    return new Promise((r) => server.listen(0, '127.0.0.1', () => r(server)));
}

const files = listed();
if (!files.length) {
    console.error(`compare_readers: no model files under ${folder}`);
    process.exit(2);
}
mkdirSync(out, { recursive: true });
const work = mkdtempSync(join(tmpdir(), 'zel-compare-'));
const root = { current: null };
const server = await serve(root);
const base = `http://127.0.0.1:${server.address().port}`;
const { default: puppeteer } = await import(join(nodeModules, 'puppeteer-core', 'lib', 'esm', 'puppeteer', 'puppeteer-core.js'));
const browser = await puppeteer.launch({
    executablePath: process.env.ZEL_CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    userDataDir: join(work, 'chromium'),
    args: ['--no-sandbox', '--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        '--disable-features=Translate,MediaRouter,OptimizationHints', `--window-size=${width},${height}`],
    defaultViewport: { width, height },
});
process.on('exit', () => rmSync(work, { recursive: true, force: true }));
const page = await browser.newPage();
await page.goto(`${base}/page.html`);
await page.waitForFunction(() => window.readerReady === true, { timeout: 30000 });

const rows = [];
const seen = Math.atan(frameShare * Math.tan(Math.min(Math.atan((width / height) * Math.tan((fovY / 2) * Math.PI / 180)), (fovY / 2) * Math.PI / 180)));
let index = 0;
for (const [rel, origin] of files) {
    ++index;
    const model = resolve(folder, rel);
    const name = rel.replace(/[\\/]/g, '__').replace(/[^A-Za-z0-9._-]/g, '_');
    const run = mkdtempSync(join(work, 'run-'));
    const row = { file: rel, origin, zel: '', other: '', triangles: '', otherTriangles: '', overlap: '', colourMean: '', colourFar: '', verdict: '' };
    rows.push(row);
    if (!existsSync(model)) {
        row.zel = row.other = 'no such file';
        row.verdict = 'missing';
        continue;
    }
    const models = join(run, 'm');
    const ext = extname(model).toLowerCase();
    const staged = stage(model, models);
    const zelPicture = join(run, 'zel.png');
    const script = ['key >', 'view frame', 'dump a.json', 'view zoom 2', 'dump b.json', 'view zoom 0.5',
        `view orbit ${orbit}`, 'dump c.json', ''].join('\n');
    const z = zel(run, models, script, zelPicture);
    const problems = z.err.split('\n').filter((l) => l && !/cannot read archi\.3ds/.test(l));
    let a, b, c;
    try {
        [a, b, c] = ['a', 'b', 'c'].map((n) => readDump(join(run, `${n}.json`)));
    } catch {
        a = b = c = null;
    }
    const zelDrew = z.status === 0 && c?.sink && c.triangles > 0;
    row.zel = zelDrew ? 'drawn' : z.status !== 0 ? `failed (${z.status})` : 'drew nothing';
    row.triangles = c?.triangles ?? 0;
    if (problems.length) row.zel += `; ${problems.slice(0, 2).join('; ').slice(0, 200)}`;

    // The camera and the model's place; without a placed model, the second reader has nothing to
    // match and is not drawn.
    let other = null;
    if (zelDrew) {
        const pa = a.head.world.slice(12, 15);
        const pb = b.head.world.slice(12, 15);
        const distance = 2 * len(sub(pb, pa));
        const forward = sub(pb, pa).map((v) => v / (distance / 2));
        const centre = pa.map((v, i) => v + forward[i] * distance);
        const plateModels = join(run, 'p');
        mkdirSync(plateModels);
        writeFileSync(join(plateModels, 'model.3d.obj'), standIn(c.sink.parent.world, centre, distance * Math.sin(seen)));
        const plate = zel(run, plateModels, script.replace(/dump (\w)\.json/g, 'dump plate-$1.json'), join(run, 'plate.png'));
        const plateHead = plate.status === 0 ? readDump(join(run, 'plate-c.json')).head : null;
        const drift = plateHead ? Math.max(...plateHead.world.map((v, i) => Math.abs(v - c.head.world[i]))) : Infinity;
        if (!(drift < 1e-3 * Math.max(1, distance))) {
            row.verdict = 'no background: the stand-in did not put the camera where the model did';
        }
        root.current = models;
        other = await page.evaluate((p) => window.drawModel(p), {
            url: `${base}/model/${staged}`, ext: ext.slice(1).replace('glb', 'gltf'), width, height,
            place: c.sink.world, head: c.head.world, fovY,
        });
        root.current = null;
    }
    const otherPicture = join(run, 'other.png');
    if (other?.png) writeFileSync(otherPicture, Buffer.from(other.png, 'base64'));
    row.other = !other ? 'not drawn' : other.error ? `failed: ${other.error}` : other.triangles > 0 ? 'drawn' : 'drew nothing';
    if (other?.problems?.length) row.other += `; ${[...new Set(other.problems)].slice(0, 3).join('; ').slice(0, 200)}`;
    row.otherTriangles = other?.triangles ?? '';

    // The side-by-side picture: zelhost | the second reader over zelhost's background | where they
    // differ (grey: alike, orange: other colours, red: zelhost only, blue: second reader only).
    const panels = [existsSync(zelPicture) ? zelPicture : 'xc:black'];
    let m = null;
    if (other?.png && existsSync(join(run, 'plate.png')) && !row.verdict) {
        const composed = join(run, 'other-on-plate.png');
        spawnSync('convert', [join(run, 'plate.png'), otherPicture, '-composite', composed]);
        panels.push(composed);
        m = measure(zelPicture, join(run, 'plate.png'), otherPicture);
        if (m && writeRgba(m.diff, join(run, 'diff.png'))) panels.push(join(run, 'diff.png'));
    } else if (other?.png) {
        panels.push(otherPicture);
    }
    spawnSync('convert', [...panels.flatMap((p) => (p.startsWith('xc:') ? ['-size', `${width}x${height}`, p] : [p])),
        '+append', '-resize', '50%', join(out, `${name}.png`)]);
    if (m) {
        row.overlap = m.overlap.toFixed(3);
        row.colourMean = m.colourMean.toFixed(1);
        row.colourFar = (100 * m.colourFar).toFixed(1);
        if (!m.zelPixels && !m.otherPixels) row.verdict = 'neither drew anything visible';
        else if (!m.zelPixels) row.verdict = 'differs: zelhost drew nothing visible';
        else if (!m.otherPixels) row.verdict = 'differs: second reader drew nothing visible';
        else row.verdict = m.overlap < 0.95 || m.colourMean > 16 || m.colourFar > 0.1 ? 'differs' : 'alike';
    } else if (!row.verdict) {
        row.verdict = zelDrew ? 'differs: second reader failed' : other ? 'differs: zelhost failed' : 'differs: zelhost failed';
    }
    console.log(`${String(index).padStart(3)}/${files.length} ${rel}: ${row.verdict}` +
        (row.overlap ? ` (overlap ${row.overlap}, colour ${row.colourMean}, ${row.colourFar}% far)` : '') +
        (row.zel !== 'drawn' ? ` [zelhost: ${row.zel}]` : '') + (row.other !== 'drawn' ? ` [other: ${row.other}]` : ''));
    rmSync(run, { recursive: true, force: true });
}
await browser.close();
server.close();

const columns = ['file', 'verdict', 'overlap', 'colourMean', 'colourFar', 'triangles', 'otherTriangles', 'zel', 'other', 'origin'];
const header = ['file', 'verdict', 'silhouette overlap', 'colour difference (mean, 0-255)', 'pixels of other colour (%)',
    'zelhost triangles', 'second reader triangles', 'zelhost', 'second reader', 'origin'];
writeFileSync(join(out, 'table.tsv'), [header.join('\t'),
    ...rows.map((r) => columns.map((k) => String(r[k]).replace(/[\t\n]/g, ' ')).join('\t'))].join('\n') + '\n');
const differ = rows.filter((r) => r.verdict.startsWith('differs')).length;
const alike = rows.filter((r) => r.verdict === 'alike').length;
const summary = `${rows.length} files: ${alike} alike, ${differ} differ, ${rows.length - alike - differ} not compared ` +
    `(zelhost ${basename(dirname(zelhost)) === 'bin' ? dirname(dirname(zelhost)) : zelhost}, ${width}x${height}, orbit ${orbit})`;
writeFileSync(join(out, 'summary.txt'), `${summary}\n`);
console.log(summary);
console.log(`pictures and table.tsv in ${out}`);
