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
    base = vec4(t.rgb, t.a * uDiffuse.a);
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
