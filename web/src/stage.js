// The stage: the renderer and its canvas, the camera with the desktop window's mouse, the ground,
// the world group everything shared hangs under, and the frame loop. A frame is drawn only when
// something changed: the scene, the camera, the window's size.

import * as THREE from 'three';
import { OrbitControls } from 'three/examples/jsm/controls/OrbitControls.js';

import { deskMaterial, depthRange } from './shading.js';

// Colours go to the screen as they are, as a desktop site writes them.
THREE.ColorManagement.enabled = false;

// The ground as a desktop site draws it: lines 2 cm wide, 1 m apart, 20 m across, at y = 0.
function makeGround() {
    const positions = [];
    const indices = [];
    const quad = (x0, z0, x1, z1) => {
        const base = positions.length / 3;
        positions.push(x0, 0, z0, x0, 0, z1, x1, 0, z1, x1, 0, z0);
        indices.push(base, base + 1, base + 2, base, base + 2, base + 3);
    };
    for (let i = -10; i <= 10; ++i) {
        quad(i - 0.01, -10, i + 0.01, 10);
        quad(-10, i - 0.01, 10, i + 0.01);
    }
    const g = new THREE.BufferGeometry();
    g.setAttribute('position', new THREE.Float32BufferAttribute(positions, 3));
    g.setIndex(indices);
    g.setAttribute('normal', new THREE.Float32BufferAttribute(positions.map((_, i) => (i % 3 === 1 ? 1 : 0)), 3));
    const mesh = new THREE.Mesh(g, deskMaterial([0.45, 0.5, 0.45, 1]));
    mesh.name = 'ground';
    return mesh;
}

export class Stage {
    constructor(container) {
        this.renderer = new THREE.WebGLRenderer({ antialias: false });
        this.renderer.outputColorSpace = THREE.LinearSRGBColorSpace;
        this.renderer.setPixelRatio(window.devicePixelRatio);
        container.appendChild(this.renderer.domElement);
        this.scene = new THREE.Scene();
        this.scene.background = new THREE.Color(0.16, 0.18, 0.22);
        this.camera = new THREE.PerspectiveCamera(50, 1, 0.05, 2000);
        // The desktop window's mouse: left drag orbits, right drag and the wheel zoom (up or away:
        // closer), middle drag pans.
        this.controls = new OrbitControls(this.camera, this.renderer.domElement);
        this.controls.screenSpacePanning = true;
        this.controls.mouseButtons = { LEFT: THREE.MOUSE.ROTATE, MIDDLE: THREE.MOUSE.PAN, RIGHT: THREE.MOUSE.DOLLY };
        this.home();
        this.scene.add(makeGround());
        this.world = new THREE.Group();
        this.world.matrixAutoUpdate = false;
        this.scene.add(this.world);

        this.needsRender = true;
        this.smoothed = false;
        this.drawnAtMs = 0;
        // The picture at rest, drawn at twice the resolution, and the quad that shrinks it onto
        // the canvas.
        this.restTarget = new THREE.WebGLRenderTarget(1, 1, { depthBuffer: true });
        this.restQuad = new THREE.Mesh(new THREE.PlaneGeometry(2, 2),
            new THREE.MeshBasicMaterial({ map: this.restTarget.texture, depthTest: false, depthWrite: false, toneMapped: false }));
        this.restQuad.frustumCulled = false;
        this.restScene = new THREE.Scene().add(this.restQuad);
        this.restCamera = new THREE.OrthographicCamera(-1, 1, 1, -1, 0, 1);
        this.controls.addEventListener('change', () => this.redraw());
        window.addEventListener('resize', () => {
            this.resize();
            this.redraw();
        });
        this.resize();
        // Once now, while the page starts: the shaders are compiled and the target made before
        // anything arrives.
        this.smoothAtRest(true);
    }

    redraw() {
        this.needsRender = true;
    }

    // Home: a little behind and above where a desktop site's navigator starts, looking at the
    // table in front of it where the placed model stands.
    home() {
        const { camera, controls } = this;
        camera.position.set(0, 2.2, 2.0);
        controls.target.set(0.75, 0.6, -2.1);
        camera.near = 0.05;
        camera.far = 2000;
        camera.updateProjectionMatrix();
        controls.update();
    }

    resize() {
        const w = window.innerWidth;
        const h = window.innerHeight;
        this.renderer.setSize(w, h);
        this.camera.aspect = w / Math.max(1, h);
        this.camera.updateProjectionMatrix();
        // A quarter of a degree a pixel, as on the desktop (the controls turn by 2 pi a view height).
        this.controls.rotateSpeed = Math.max(1, h) / 1440;
    }

    // Looks at the objects given (their model meshes), from the current direction.
    frame(objects) {
        const { camera, controls } = this;
        const box = new THREE.Box3();
        this.world.updateMatrixWorld(true);
        for (const object of objects) for (const c of object.children) if (c.userData.isModel) box.expandByObject(c);
        if (box.isEmpty()) return;
        const sphere = box.getBoundingSphere(new THREE.Sphere());
        const dir = camera.position.clone().sub(controls.target).normalize();
        const distance = (Math.max(sphere.radius, 0.1) / Math.sin(THREE.MathUtils.degToRad(camera.fov / 2))) * 1.1;
        controls.target.copy(sphere.center);
        camera.position.copy(sphere.center).addScaledVector(dir, distance);
        ({ near: camera.near, far: camera.far } = depthRange(distance, sphere.radius));
        camera.updateProjectionMatrix();
        controls.update();
    }

    // Runs the frame loop: beforeFrame() each frame (it may ask for a redraw), cameraSet() once the
    // controls have moved the camera, afterDraw() after each frame drawn.
    run({ beforeFrame = () => {}, cameraSet = () => {}, afterDraw = () => {} } = {}) {
        const frame = () => {
            requestAnimationFrame(frame);
            beforeFrame();
            if (this.controls.update()) this.needsRender = true;
            cameraSet();
            if (!this.needsRender) {
                this.smoothAtRest();
                return;
            }
            this.needsRender = false;
            this.smoothed = false;
            this.renderer.render(this.scene, this.camera);
            this.drawnAtMs = performance.now();
            afterDraw();
        };
        requestAnimationFrame(frame);
    }

    // Edges without stairs, as on the desktop: WebGL's multisampling costs the software renderer
    // three quarters of the frame rate, so a moving picture is drawn without, and once it has
    // rested for a quarter of a second it is drawn once more at twice the resolution into a
    // target of its own, which a quad shrinks onto the canvas (each pixel the mean of four). The
    // canvas keeps its size: making it larger and smaller again held the page for 25-60 ms each
    // time it came to rest.
    smoothAtRest(now = false) {
        if (!now && (this.smoothed || performance.now() - this.drawnAtMs < 250)) return;
        this.smoothed = true;
        const { renderer, restTarget } = this;
        const size = renderer.getDrawingBufferSize(new THREE.Vector2());
        if (restTarget.width !== 2 * size.x || restTarget.height !== 2 * size.y) restTarget.setSize(2 * size.x, 2 * size.y);
        renderer.setRenderTarget(restTarget);
        renderer.render(this.scene, this.camera);
        renderer.setRenderTarget(null);
        renderer.render(this.restScene, this.restCamera);
    }

    // How many times the canvas's resolution the picture on it was drawn at: 2 at rest, else 1.
    resolution() {
        return this.smoothed ? this.restTarget.width / this.renderer.getDrawingBufferSize(new THREE.Vector2()).x : 1;
    }
}
