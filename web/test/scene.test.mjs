// The mirror of the shared scene: which nodes are shown, where, and for how long.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { SharedView } from '../src/scene.js';

const identity = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1];
const node = (parent = '', order = 0, name = 'n') => JSON.stringify({ name, parent, order, matrix: identity });
const presence = (user, hex) => JSON.stringify({ user, site: `${user}-${hex}`, joined: 1 });

function fixture() {
    const clock = { t: 0 };
    const lines = [];
    const view = new SharedView({ self: { user: 'me', hex: '00000000' }, complain: (l) => lines.push(l), now: () => clock.t });
    return { view, clock, lines };
}

test('a site is shown while present, its nodes in tree order, and gone when it leaves or goes quiet', () => {
    const { view, clock } = fixture();
    // Children may arrive before their parents.
    view.applyNode('bob.0000000b.2', node('bob.0000000b.1', 1, 'second'));
    view.applyNode('bob.0000000b.3', node('bob.0000000b.1', 0, 'first'));
    view.applyNode('bob.0000000b.1', node('', 0, 'navigator'));
    assert.deepEqual(view.visible(), [], 'not present yet');
    view.applyPresence('bob.0000000b', presence('bob', '0000000b'));
    assert.deepEqual(view.visible().map((v) => [v.record.name, v.depth]), [['navigator', 1], ['first', 2], ['second', 2]]);
    assert.deepEqual(view.present(), [{ site: 'bob-0000000b', user: 'bob' }]);

    clock.t = 3000;
    view.expire();
    assert.equal(view.visible().length, 3);
    clock.t = 4001;
    view.expire();
    assert.deepEqual(view.visible(), [], 'presence expired');
    view.applyPresence('bob.0000000b', presence('bob', '0000000b'));
    assert.equal(view.visible().length, 3, 'back');
    view.applyPresence('bob.0000000b', null);
    assert.deepEqual(view.present(), []);

    view.applyPresence('bob.0000000b', presence('bob', '0000000b'));
    view.applyNode('bob.0000000b.1', null);
    assert.deepEqual(view.visible(), [], 'children of a deleted node are not shown');
});

test('hostile records change nothing and are reported at most once a second per site', () => {
    const { view, clock, lines } = fixture();
    view.applyPresence('eve.0000000e', presence('eve', '0000000e'));
    view.applyNode('eve.0000000e.1', node());
    view.applyNode('eve.0000000e.2', node('eve.0000000e.1'));
    const before = view.visible();
    assert.equal(view.applyNode('eve.0000000e.1', node('eve.0000000e.2')), false, 'a cycle');
    assert.equal(view.applyNode('eve.0000000e.2', '{"name":'), false);
    assert.equal(view.applyNode('eve.0000000e.3', node('bob.0000000b.1')), false, 'a parent of another site');
    assert.equal(view.applyNode('not a key', node()), false);
    assert.deepEqual(view.visible(), before);
    assert.equal(lines.filter((l) => l.includes('eve-0000000e')).length, 1);
    clock.t = 1001;
    view.applyNode('eve.0000000e.2', '[]');
    assert.equal(lines.filter((l) => l.includes('eve-0000000e')).length, 2);
    // Made-up sites of one user: five lines a second at most.
    clock.t = 3000;
    for (let i = 0; i < 20; ++i) view.applyNode(`eve.${String(i).padStart(8, '0')}.1`, '[]');
    assert.equal(lines.filter((l) => /eve-000000\d\d:/.test(l)).length, 5);
    // This page's own records are never mirrored.
    view.applyPresence('me.00000000', presence('me', '00000000'));
    view.applyNode('me.00000000.0', node());
    assert.equal(view.visible().length, 2);
});

test('depth and node count are bounded per user, not per site', () => {
    const { view } = fixture();
    view.applyPresence('deep.0000000d', presence('deep', '0000000d'));
    view.applyNode('deep.0000000d.0', node());
    for (let i = 1; i < 300; ++i) view.applyNode(`deep.0000000d.${i}`, node(`deep.0000000d.${i - 1}`));
    const shown = view.visible();
    assert.equal(shown.length, 256);
    assert.equal(Math.max(...shown.map((v) => v.depth)), 256);

    // Two sites of one user share the budget: anyone can make up site ids.
    for (let i = 0; i < 50000; ++i) view.applyNode(`many.0000000a.${i}`, node());
    for (let i = 0; i < 50000; ++i) view.applyNode(`many.0000000b.${i}`, node());
    assert.equal(view.applyNode('many.0000000c.0', node()), false);
    assert.equal(view.applyNode('many.0000000a.0', node('', 1)), true, 'a node it has may still change');
    view.applyNode('many.0000000a.1', null);
    assert.equal(view.applyNode('many.0000000c.0', node()), true);
});

test("a change of a node's own state names that node; a new parent or place changes the tree", () => {
    const { view } = fixture();
    view.applyPresence('bob.0000000b', presence('bob', '0000000b'));
    view.applyNode('bob.0000000b.1', node());
    view.applyNode('bob.0000000b.2', node('bob.0000000b.1'));
    const tree = view.version;
    view.changed.clear();
    view.applyNode('bob.0000000b.2', JSON.stringify({ name: 'moved', parent: 'bob.0000000b.1', order: 0, matrix: [...identity.slice(0, 12), 1, 2, 3, 1] }));
    assert.equal(view.version, tree);
    assert.deepEqual([...view.changed], ['bob.0000000b.2']);
    view.applyNode('bob.0000000b.2', node('bob.0000000b.1', 5));
    assert.ok(view.version > tree);
});

test('a site has one navigator: the first top node that claims it, until it lets go', () => {
    const { view } = fixture();
    const nav = JSON.stringify({ name: 'navigator', parent: '', order: 0, matrix: identity, navigator: true });
    view.applyNode('bob.0000000b.1', nav);
    view.applyNode('bob.0000000b.2', nav);
    assert.deepEqual([1, 2].map((n) => view.mirrors.get(`bob.0000000b.${n}`).record.navigator), [true, false]);
    view.applyNode('bob.0000000b.1', null);
    view.applyNode('bob.0000000b.2', nav);
    assert.equal(view.mirrors.get('bob.0000000b.2').record.navigator, true);
});

test('a node whose place would not fit a float is not shown, and a move that would take it there is refused', () => {
    const { view } = fixture();
    const scaled = (parent, f) => JSON.stringify({ name: 'n', parent, order: 0, matrix: [f, 0, 0, 0, 0, f, 0, 0, 0, 0, f, 0, 0, 0, 0, 1] });
    view.applyPresence('bob.0000000b', presence('bob', '0000000b'));
    view.applyNode('bob.0000000b.1', scaled('', 1e30));
    view.applyNode('bob.0000000b.2', scaled('bob.0000000b.1', 1e30)); // 1e60 in the world
    view.applyNode('bob.0000000b.3', scaled('bob.0000000b.1', 2));
    assert.deepEqual(view.visible().map((v) => v.key), ['bob.0000000b.1', 'bob.0000000b.3']);
    assert.equal(view.applyNode('bob.0000000b.3', scaled('bob.0000000b.1', 1e20)), false);
    assert.equal(view.mirrors.get('bob.0000000b.3').record.matrix[0], 2);
});
