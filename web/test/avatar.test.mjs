// A user's colour on the page is the one the desktop window gives it (host/sites.cpp): the hues
// below are what the desktop's function makes of these names.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { avatarColor, userHue, userRgb } from '../src/avatar.js';

test('hues and colours match the desktop', () => {
    assert.equal(userHue('alice'), 135.4);
    assert.equal(userHue('bob'), 249.5);
    assert.equal(userHue('vera'), 341.6);
    // Saturation 0.65 at value 0.95: the strongest channel is 0.95, the weakest 0.3325.
    const [r, g, b] = userRgb('alice');
    assert.ok(Math.abs(Math.max(r, g, b) - 0.95) < 1e-9 && Math.abs(Math.min(r, g, b) - 0.3325) < 1e-9);
});
