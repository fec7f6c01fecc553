// The desktop renderer's shading, so that a model looks the same in the page: a headlight along the
// view direction plus ambient 0.3, two-sided, per vertex; the material's highlight raised to its
// exponent per pixel, for the viewer far away (the facing the diffuse term carries, raised to the
// material's exponent); colours written as they are, with no conversion from linear light. A
// vertex without a normal is fully lit.

import { DoubleSide, ShaderMaterial } from 'three';

const vertexShader = `
uniform float uAmbient;
varying float vLight;
#ifdef TEXTURED
varying vec2 vUv;
#endif
void main() {
    vec4 p = modelViewMatrix * vec4(position, 1.0);
    vec3 n = normalMatrix * normal;
    float len = length(n);
    float facing = len > 1e-8 ? abs(n.z) / len : 1.0;
    vLight = uAmbient + (1.0 - uAmbient) * facing;
#ifdef TEXTURED
    vUv = uv;
#endif
    gl_Position = projectionMatrix * p;
}`;

const fragmentShader = `
uniform vec4 uDiffuse;
varying float vLight;
#ifdef TEXTURED
uniform sampler2D uTexture;
varying vec2 vUv;
#endif
#ifdef SHINY
uniform float uAmbient;
uniform vec3 uSpecular;
uniform float uShininess;
#endif
void main() {
    vec4 base = uDiffuse;
#ifdef TEXTURED
    vec4 t = texture2D(uTexture, vUv);
    base = vec4(t.rgb * uDiffuse.rgb, t.a * uDiffuse.a);
#endif
    vec3 colour = base.rgb * vLight;
#ifdef SHINY
    float facing = clamp((vLight - uAmbient) / (1.0 - uAmbient), 0.0, 1.0);
    // facing^exponent as Schlick's rational form: a few operations instead of a power
    colour += uSpecular * (facing / (uShininess - uShininess * facing + facing));
#endif
    gl_FragColor = vec4(colour, base.a);
}`;

const unit = (v) => (Number.isFinite(v) ? Math.min(Math.max(v, 0), 1) : 0);

// A material's highlight as the desktop takes it: the colour clamped to 0..1, the exponent to
// 1..128, and none (null) when either leaves nothing to see.
export function highlightOf(specular, shininess) {
    const colour = [unit(specular[0]), unit(specular[1]), unit(specular[2])];
    if (!(Number.isFinite(shininess) && shininess > 0) || colour.every((c) => c === 0)) return null;
    return { specular: colour, shininess: Math.min(Math.max(shininess, 1), 128) };
}

// diffuse: r, g, b, a in 0..1; texture: a three.js texture or null; highlight: highlightOf's
// result or null.
export function deskMaterial(diffuse, texture = null, highlight = null) {
    const alpha = diffuse[3];
    const defines = {};
    if (texture) defines.TEXTURED = '';
    if (highlight) defines.SHINY = '';
    return new ShaderMaterial({
        uniforms: {
            uAmbient: { value: 0.3 },
            uDiffuse: { value: [diffuse[0], diffuse[1], diffuse[2], alpha] },
            uTexture: { value: texture },
            uSpecular: { value: highlight ? highlight.specular : [0, 0, 0] },
            uShininess: { value: highlight ? highlight.shininess : 0 },
        },
        defines,
        vertexShader,
        fragmentShader,
        side: DoubleSide,
        transparent: alpha < 1,
    });
}

// Less than one step of an 8-bit colour channel: nothing shows.
const clear = (m) => !(unit(m.diffuse[3] * m.opacity) >= 1 / 256);

// Whether a scene's every material that a mesh uses is fully transparent: the model would show
// nothing, and its author meant it opaque (some editors write "Tr 1" for opaque). The desktop
// draws such a model opaque too.
const allClear = new WeakMap();
function everyMaterialClear(scene) {
    let answer = allClear.get(scene);
    if (answer === undefined) {
        const used = new Set(scene.meshes.filter((m) => m.indices.length > 0).map((m) => m.material));
        answer = used.size > 0 && [...used].every((i) => clear(scene.materials[i]));
        allClear.set(scene, answer);
    }
    return answer;
}

// The alpha that material `index` of a decoded scene is drawn with.
export function materialAlpha(scene, index) {
    const m = scene.materials[index];
    return everyMaterialClear(scene) ? 1 : unit(m.diffuse[3] * m.opacity);
}

// The near and far planes that show a model of bounding-sphere radius `radius` whose centre lies
// `distance` from the camera with depth detail to match its size, as the desktop fits them: far
// enough for its back; the near plane at 0.05 m, nearer for a model close by, and farther for a
// large one seen from afar (until a 24-bit depth buffer tells apart, at the model's back, points a
// hundred-thousandth of its radius apart), never past its front.
export function depthRange(distance, radius) {
    const back = distance + radius;
    const front = Math.max((distance - radius) * 0.5, distance * 1e-4);
    const needed = (back * back) / (Math.max(radius, 1e-6) * 1e-5 * 2 ** 24);
    return { near: Math.max(Math.min(front, Math.max(0.05, needed)), 1e-4), far: Math.max(2000, back * 1.5) };
}
