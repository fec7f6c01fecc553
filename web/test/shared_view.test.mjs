// The mirror of the shared scene: which nodes are shown, where, and for how long.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { SharedView } from '../src/shared_view.js';

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

test('what changed is named once per change: own state, a move of a subtree, a site leaving', () => {
    const { view } = fixture();
    view.applyPresence('bob.0000000b', presence('bob', '0000000b'));
    view.applyNode('bob.0000000b.1', node());
    view.applyNode('bob.0000000b.2', node('bob.0000000b.1'));
    view.applyNode('bob.0000000b.3', node('bob.0000000b.2'));
    view.applyNode('bob.0000000b.4', node());
    view.dirty.clear();
    view.applyNode('bob.0000000b.2', JSON.stringify({ name: 'moved', parent: 'bob.0000000b.1', order: 0, matrix: [...identity.slice(0, 12), 1, 2, 3, 1] }));
    assert.deepEqual([...view.dirty], ['bob.0000000b.2']);
    view.dirty.clear();
    view.applyNode('bob.0000000b.2', node('bob.0000000b.4'));
    assert.deepEqual([...view.dirty].sort(), ['bob.0000000b.2', 'bob.0000000b.3']);
    assert.equal(view.shown.get('bob.0000000b.3').depth, 3);
    view.dirty.clear();
    view.applyPresence('bob.0000000b', null);
    assert.equal(view.dirty.size, 4);
    assert.equal(view.shown.size, 0);
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
    // An ancestor's move checks again what hangs below it: out of range goes, back in range returns.
    view.applyNode('bob.0000000b.4', scaled('bob.0000000b.3', 1e15));
    view.applyNode('bob.0000000b.1', scaled('', 1e25));
    view.settle();
    assert.deepEqual(view.visible().map((v) => v.key), ['bob.0000000b.1', 'bob.0000000b.3']);
    view.applyNode('bob.0000000b.1', scaled('', 1e-30));
    view.settle();
    assert.deepEqual(view.visible().map((v) => v.key), ['bob.0000000b.1', 'bob.0000000b.2', 'bob.0000000b.3', 'bob.0000000b.4']);
    assert.equal(view.shown.get('bob.0000000b.4').world[0], Math.fround(Math.fround(Math.fround(1e15 * 2) * 1e-30)));
});

test("a site's records and its bookkeeping go with it; a user's records cost its meshes too; 64 sites at once", () => {
    const { view, clock } = fixture();
    const hex = (i) => i.toString(16).padStart(8, '0');
    for (let i = 0; i < 200; ++i) {
        view.applyPresence(`eve.${hex(i)}`, presence('eve', hex(i)));
        view.applyNode(`eve.${hex(i)}.1`, node());
    }
    assert.equal(view.present().length, 64, 'no more sites present than a user may have');
    for (let i = 0; i < 200; ++i) {
        view.applyNode(`eve.${hex(i)}.1`, null);
        view.applyPresence(`eve.${hex(i)}`, null);
    }
    assert.equal(view.sites.size, 0);
    assert.equal(view.perUser.size, 0);
    assert.equal(view.children.size, 0);
    clock.t = 10000;
    view.applyPresence('eve.00000001', presence('eve', '00000001'));
    view.expire();
    clock.t = 20000;
    view.expire();
    assert.equal(view.sites.size, 0, 'expired and empty: forgotten');

    // A mesh list is geometry to build: charged to its user with the node.
    const meshes = (n) => JSON.stringify({ name: 'm', parent: '', order: 0, matrix: identity, mesh: { scene: 'ab'.repeat(32), meshes: [...Array(n).keys()] } });
    for (let i = 0; i < 10; ++i) assert.equal(view.applyNode(`big.00000001.${i}`, meshes(9999)), true);
    assert.equal(view.applyNode('big.00000001.10', node()), false, '100,000 nodes and meshes');
    assert.equal(view.applyNode('big.00000001.9', meshes(9998)), true);
    assert.equal(view.applyNode('big.00000001.10', node()), true);
});

test("this page's user's records of sites gone 10 s are named for deletion, once per 10 s", () => {
    const { view, clock } = fixture();
    view.applyPresence('me.0000000a', presence('me', '0000000a'));
    view.applyNode('me.0000000a.1', node());
    view.applyNode('me.0000000b.1', node()); // never present
    view.applyNode('other.0000000c.1', node());
    assert.deepEqual(view.staleKeysOfOwnUser(), []);
    clock.t = 9000;
    view.applyPresence('me.0000000a', null);
    clock.t = 10001;
    assert.deepEqual(view.staleKeysOfOwnUser(), ['me.0000000b.1']);
    assert.deepEqual(view.staleKeysOfOwnUser(), []);
    clock.t = 19000;
    assert.deepEqual(view.staleKeysOfOwnUser(), []);
    clock.t = 19001;
    assert.deepEqual(view.staleKeysOfOwnUser(), ['me.0000000a.1']);
    clock.t = 20002;
    assert.deepEqual(view.staleKeysOfOwnUser(), ['me.0000000b.1'], 'its deletes did not land: again');
});

test("presence is timed by a clock that a change of the wall clock does not move", (t) => {
    const view = new SharedView();
    view.applyPresence('bob.0000000b', presence('bob', '0000000b'));
    const wall = Date.now();
    t.mock.method(Date, 'now', () => wall + 3600 * 1000);
    view.expire();
    assert.equal(view.present().length, 1, 'an hour forward on the wall clock');
    t.mock.method(Date, 'now', () => wall - 3600 * 1000);
    view.applyPresence('bob.0000000b', presence('bob', '0000000b'));
    t.mock.restoreAll();
    view.expire();
    assert.equal(view.present().length, 1, 'and back');
});

test('moves of a chain above many leaves are checked in one walk, spread over calls', () => {
    // A chain of 200 with 5,000 leaves below its bottom, every chain node moved: one walk of the
    // whole subtree (not one per move), in steps of about the given size that resume where the last
    // stopped, with deletes and moves in between.
    const { view } = fixture();
    const k = (i) => `bob.0000000b.${i}`;
    const at = (parent, x, scale = 1) =>
        JSON.stringify({ name: 'n', parent, order: 0, matrix: [scale, 0, 0, 0, 0, scale, 0, 0, 0, 0, scale, 0, x, 0, 0, 1] });
    const chain = 200;
    const leaves = 5000;
    view.applyPresence('bob.0000000b', presence('bob', '0000000b'));
    for (let i = 1; i <= chain; ++i) view.applyNode(k(i), node(i === 1 ? '' : k(i - 1)));
    for (let i = 1; i <= leaves; ++i) view.applyNode(k(chain + i), node(k(chain)));
    // One leaf that a hundredfold scale above takes out of range.
    const huge = k(chain + leaves + 1);
    view.applyNode(huge, at(k(chain), 0, 1e37));
    assert.equal(view.shown.size, chain + leaves + 1);
    for (let i = chain; i >= 1; --i) assert.ok(view.applyNode(k(i), at(i === 1 ? '' : k(i - 1), 1, i === 1 ? 100 : 1)));
    // No time to spare: each call looks at about 250 nodes.
    let calls = 1;
    assert.equal(view.settle(0, 250), true);
    view.applyNode(k(chain + 1000), null);
    view.applyNode(k(3), at(k(2), 2));
    while (view.settle(0, 250) && calls < 1000) ++calls;
    assert.ok(calls >= 20 && calls <= 2 * 22, `${calls} calls: the subtree walked once, and once more below the second move`);
    assert.equal(view.shown.has(huge), false);
    assert.equal(view.shown.size, chain + leaves - 1);
    assert.equal(view.shown.get(k(chain + 1)).world[0], 100);
    // Back in range: the huge leaf returns. A walk under way that loses a node on its path goes on.
    view.applyNode(k(1), at('', 3));
    assert.equal(view.settle(0, 250), true);
    view.applyNode(k(chain), null);
    while (view.settle(0, 250) && calls < 2000) ++calls;
    assert.equal(view.shown.size, chain - 1);
    assert.equal(view.walk.length + view.moved.size, 0);
    view.applyNode(k(chain), node(k(chain - 1)));
    assert.equal(view.shown.has(huge), true);
    assert.equal(view.shown.get(huge).world[0], Math.fround(1e37));
});

test('a cycle check looks no further than the depth limit', (t) => {
    // A long chain out of sight (its top waits for a parent): closing it into a cycle shows nothing,
    // and costs no walk along it.
    const { view } = fixture();
    const k = (i) => `eve.0000000e.${i}`;
    view.applyPresence('eve.0000000e', presence('eve', '0000000e'));
    for (let i = 1; i < 5000; ++i) view.applyNode(k(i), node(k(i - 1)));
    const lookups = t.mock.method(view.mirrors, 'get');
    for (let i = 0; i < 100; ++i) assert.equal(view.applyNode(k(1 + i), node(k(4999 - i))), true);
    assert.ok(lookups.mock.callCount() < 100 * 10, `${lookups.mock.callCount()} lookups`);
    assert.equal(view.shown.size, 0);
    // In sight, a cycle is found within the depth limit.
    view.applyNode(k(10000), node());
    view.applyNode(k(10001), node(k(10000)));
    assert.equal(view.applyNode(k(10000), node(k(10001))), false);
});
