// The desktop renderer's shading, so that a model looks the same in the page: a headlight along the
// view direction plus ambient 0.3, two-sided, per vertex; colours written as they are, with no
// conversion from linear light. A vertex without a normal is fully lit.

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
void main() {
    vec4 base = uDiffuse;
#ifdef TEXTURED
    vec4 t = texture2D(uTexture, vUv);
    base = vec4(t.rgb, t.a * uDiffuse.a);
#endif
    gl_FragColor = vec4(base.rgb * vLight, base.a);
}`;

// diffuse: r, g, b, a in 0..1; texture: a three.js texture or null.
export function deskMaterial(diffuse, texture = null) {
    const alpha = diffuse[3];
    return new ShaderMaterial({
        uniforms: {
            uAmbient: { value: 0.3 },
            uDiffuse: { value: [diffuse[0], diffuse[1], diffuse[2], alpha] },
            uTexture: { value: texture },
        },
        defines: texture ? { TEXTURED: '' } : {},
        vertexShader,
        fragmentShader,
        side: DoubleSide,
        transparent: alpha < 1,
    });
}
