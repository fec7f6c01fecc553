#include <zel/render/input.h>

#include <GLFW/glfw3.h>

namespace zel::render {

namespace {

// Unshifted and shifted characters of the punctuation keys of a US layout.
// Keys that type the same character whatever the modifiers.
struct fixedCharacter {
    int key;
    unsigned int character;
};
constexpr fixedCharacter fixedCharacters[] = {
    {GLFW_KEY_ENTER, 13},      {GLFW_KEY_KP_ENTER, 13},     {GLFW_KEY_BACKSPACE, 8},
    {GLFW_KEY_KP_DIVIDE, '/'}, {GLFW_KEY_KP_MULTIPLY, '*'}, {GLFW_KEY_KP_SUBTRACT, '-'},
    {GLFW_KEY_KP_ADD, '+'},    {GLFW_KEY_KP_EQUAL, '='},
};

struct punctuation {
    int key;
    char plain;
    char shifted;
};
constexpr punctuation punctuationKeys[] = {
    {GLFW_KEY_APOSTROPHE, '\'', '"'},  {GLFW_KEY_COMMA, ',', '<'},
    {GLFW_KEY_MINUS, '-', '_'},        {GLFW_KEY_PERIOD, '.', '>'},
    {GLFW_KEY_SLASH, '/', '?'},        {GLFW_KEY_SEMICOLON, ';', ':'},
    {GLFW_KEY_EQUAL, '=', '+'},        {GLFW_KEY_LEFT_BRACKET, '[', '{'},
    {GLFW_KEY_BACKSLASH, '\\', '|'},   {GLFW_KEY_RIGHT_BRACKET, ']', '}'},
    {GLFW_KEY_GRAVE_ACCENT, '`', '~'}, {GLFW_KEY_SPACE, ' ', ' '},
};
constexpr char shiftedDigits[] = ")!@#$%^&*(";

std::optional<viewerKey> plainViewerKey(int key) {
    switch (key) {
    case GLFW_KEY_LEFT:
        return viewerKey::left;
    case GLFW_KEY_RIGHT:
        return viewerKey::right;
    case GLFW_KEY_UP:
        return viewerKey::up;
    case GLFW_KEY_DOWN:
        return viewerKey::down;
    case GLFW_KEY_PAGE_UP:
        return viewerKey::pageUp;
    case GLFW_KEY_PAGE_DOWN:
        return viewerKey::pageDown;
    case GLFW_KEY_HOME:
        return viewerKey::home;
    case GLFW_KEY_END:
        return viewerKey::end;
    case GLFW_KEY_INSERT:
        return viewerKey::insert;
    case GLFW_KEY_DELETE:
        return viewerKey::del;
    case GLFW_KEY_ESCAPE:
        return viewerKey::escape;
    default:
        break;
    }
    if (key >= GLFW_KEY_F1 && key <= GLFW_KEY_F12) {
        return static_cast<viewerKey>(static_cast<int>(viewerKey::f1) + (key - GLFW_KEY_F1));
    }
    return std::nullopt;
}

// The keypad without num lock, as on a PC: 7 Home, 8 Up, 9 Page Up, 4 Left, 6 Right, 1 End,
// 2 Down, 3 Page Down, 0 Insert, decimal Delete; 5 does nothing.
std::optional<viewerKey> keypadNavigation(int key) {
    switch (key) {
    case GLFW_KEY_KP_7:
        return viewerKey::home;
    case GLFW_KEY_KP_8:
        return viewerKey::up;
    case GLFW_KEY_KP_9:
        return viewerKey::pageUp;
    case GLFW_KEY_KP_4:
        return viewerKey::left;
    case GLFW_KEY_KP_6:
        return viewerKey::right;
    case GLFW_KEY_KP_1:
        return viewerKey::end;
    case GLFW_KEY_KP_2:
        return viewerKey::down;
    case GLFW_KEY_KP_3:
        return viewerKey::pageDown;
    case GLFW_KEY_KP_0:
        return viewerKey::insert;
    case GLFW_KEY_KP_DECIMAL:
        return viewerKey::del;
    default:
        return std::nullopt;
    }
}

} // namespace

keyMeaning translateKey(int key, int mods) {
    const bool shift = (mods & GLFW_MOD_SHIFT) != 0;
    const bool caps = (mods & GLFW_MOD_CAPS_LOCK) != 0;
    const bool numLock = (mods & GLFW_MOD_NUM_LOCK) != 0;
    keyMeaning m;
    if ((mods & GLFW_MOD_CONTROL) != 0) {
        if (key == GLFW_KEY_Z) {
            m.viewer = shift ? viewerKey::redo : viewerKey::undo;
        } else if (key == GLFW_KEY_Y) {
            m.viewer = viewerKey::redo;
        }
        return m;
    }
    if (key == GLFW_KEY_TAB) {
        m.viewer = shift ? viewerKey::backTab : viewerKey::tab;
        return m;
    }
    if (key >= GLFW_KEY_A && key <= GLFW_KEY_Z) {
        const bool upper = shift != caps;
        m.character = static_cast<unsigned int>(upper ? key : key - 'A' + 'a');
        return m;
    }
    if (key >= GLFW_KEY_0 && key <= GLFW_KEY_9) {
        m.character = static_cast<unsigned char>(shift ? shiftedDigits[key - GLFW_KEY_0] : key);
        return m;
    }
    for (const punctuation& p : punctuationKeys) {
        if (p.key == key) {
            m.character = static_cast<unsigned char>(shift ? p.shifted : p.plain);
            return m;
        }
    }
    for (const fixedCharacter& f : fixedCharacters) {
        if (f.key == key) {
            m.character = f.character;
            return m;
        }
    }
    if ((key >= GLFW_KEY_KP_0 && key <= GLFW_KEY_KP_9) || key == GLFW_KEY_KP_DECIMAL) {
        if (numLock) {
            m.character = key == GLFW_KEY_KP_DECIMAL ? '.' : '0' + (key - GLFW_KEY_KP_0);
        } else {
            m.viewer = keypadNavigation(key);
        }
        return m;
    }
    m.viewer = plainViewerKey(key);
    return m;
}

const char* viewerKeyName(viewerKey k) {
    static const char* const names[] = {
        "Left",   "Right",  "Up",  "Down", "Page Up", "Page Down", "Home",      "End",    "Insert",
        "Delete", "Escape", "F1",  "F2",   "F3",      "F4",        "F5",        "F6",     "F7",
        "F8",     "F9",     "F10", "F11",  "F12",     "Tab",       "Shift+Tab", "Ctrl+Z", "Ctrl+Y",
    };
    const auto i = static_cast<std::size_t>(k);
    return i < sizeof names / sizeof names[0] ? names[i] : "?";
}

} // namespace zel::render
