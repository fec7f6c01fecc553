// Every site of one user gets the same colour, the same on every site and in the desktop window:
// FNV-1a over the user name's UTF-8 bytes, a final mix, the hue in tenths of a degree (h % 3600),
// at HSV saturation 0.65 and value 0.95. The name label is that colour 45 % of the way to white.

import { Color } from 'three';

export function userHue(user) {
    let h = 0x811c9dc5;
    for (const b of new TextEncoder().encode(user)) {
        h ^= b;
        h = Math.imul(h, 0x01000193) >>> 0;
    }
    h = (h ^ (h >>> 15)) >>> 0;
    h = Math.imul(h, 0x2c1b3c6d) >>> 0;
    h = (h ^ (h >>> 12)) >>> 0;
    return (h % 3600) / 10;
}

// The head's colour as red, green and blue in 0..1.
export function userRgb(user) {
    const hue = userHue(user);
    const s = 0.65, v = 0.95;
    const c = v * s;
    const x = c * (1 - Math.abs(((hue / 60) % 2) - 1));
    const m = v - c;
    const sector = Math.floor(hue / 60);
    const [r, g, b] = [[c, x, 0], [x, c, 0], [0, c, x], [0, x, c], [x, 0, c], [c, 0, x]][Math.min(sector, 5)];
    return [r + m, g + m, b + m];
}

export function avatarColor(user) {
    const hue = userHue(user);
    const rgb = userRgb(user);
    const text = rgb.map((v) => v + (1 - v) * 0.45);
    const css = (c) => `rgb(${c.map((v) => Math.round(v * 255)).join(', ')})`;
    return { hue, css: css(text), head: css(rgb), three: new Color(rgb[0], rgb[1], rgb[2]) };
}
