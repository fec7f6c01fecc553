// Every site of one user gets the same colour, the same on every site: the hue is the 32-bit
// FNV-1a hash of the user name's UTF-8 bytes modulo 360, at saturation 0.65 and lightness 0.6 (HSL).

import { Color } from 'three';

export function userHue(user) {
    let h = 0x811c9dc5;
    for (const b of new TextEncoder().encode(user)) {
        h ^= b;
        h = Math.imul(h, 0x01000193) >>> 0;
    }
    return h % 360;
}

export function avatarColor(user) {
    const hue = userHue(user);
    return { hue, css: `hsl(${hue}, 65%, 60%)`, three: new Color().setHSL(hue / 360, 0.65, 0.6) };
}
