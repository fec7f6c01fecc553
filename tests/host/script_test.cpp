#include "script.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zel::host::command;
using zel::host::commandKind;
using zel::host::parseScript;
namespace sg = zel::sceneGraph;

command make(commandKind kind) {
    command c;
    c.kind = kind;
    c.line = 1;
    return c;
}
command keyCmd(commandKind kind, unsigned int code) {
    command c = make(kind);
    c.code = code;
    return c;
}
command mouseCmd(sg::MouseEvents type, sg::MouseButtons button, bool hasPos, int x = 0, int y = 0) {
    command c = make(commandKind::mouse);
    c.mouseType = type;
    c.button = button;
    c.hasPos = hasPos;
    c.x = x;
    c.y = y;
    return c;
}
command textCmd(commandKind kind, std::string text) {
    command c = make(kind);
    c.text = std::move(text);
    return c;
}

struct goodCase {
    const char* name;
    std::string line;
    command expected;
};

TEST(scriptParser, acceptsEveryCommandForm) {
    command wheel = make(commandKind::wheel);
    wheel.delta = -240;
    command resize = make(commandKind::resize);
    resize.width = 640;
    resize.height = 480;
    command advance = make(commandKind::advance);
    advance.seconds = 0.5;
    command advanceZero = make(commandKind::advance);
    auto view = [](zel::host::viewMoveKind move, double dx = 0, double dy = 0, double f = 1) {
        command c = make(commandKind::view);
        c.viewMove = move;
        c.dx = dx;
        c.dy = dy;
        c.factor = f;
        return c;
    };
    using zel::host::viewMoveKind;
    const std::vector<goodCase> cases = {
        {"key letter", "key x", keyCmd(commandKind::key, 'x')},
        {"key down", "down v", keyCmd(commandKind::keyDown, 'v')},
        {"key up", "up V", keyCmd(commandKind::keyUp, 'V')},
        {"key press", "press c", keyCmd(commandKind::keyPress, 'c')},
        {"punctuation", "key ?", keyCmd(commandKind::key, '?')},
        {"digit zero is a character", "key 0", keyCmd(commandKind::key, '0')},
        {"hex code", "key 0x178", keyCmd(commandKind::key, 0x178)},
        {"hex code upper X", "key 0X2c", keyCmd(commandKind::key, 0x2C)},
        {"two-byte UTF-8", "key \xC3\xA9", keyCmd(commandKind::key, 0xE9)},
        {"astral UTF-8", "key \xF0\x9F\x98\x80", keyCmd(commandKind::key, 0x1F600)},
        {"hash as a code", "key 0x23", keyCmd(commandKind::key, '#')},
        {"tabs and spaces", "\t key  \t z  ", keyCmd(commandKind::key, 'z')},
        {"trailing comment", "key z # axis", keyCmd(commandKind::key, 'z')},
        {"mouse down", "mouse down 1 10 -20", mouseCmd(sg::DOWN, sg::LEFT, true, 10, -20)},
        {"mouse drag", "mouse drag 3 5 6", mouseCmd(sg::DRAG, sg::RIGHT, true, 5, 6)},
        {"mouse up", "mouse up 2 7 8", mouseCmd(sg::UP, sg::MIDDLE, true, 7, 8)},
        {"mouse move", "mouse move 1 2", mouseCmd(sg::MOVE, sg::NONE, true, 1, 2)},
        {"mouse down nopos", "mouse down 1 nopos", mouseCmd(sg::DOWN, sg::LEFT, false)},
        {"mouse drag nopos", "mouse drag 0 nopos", mouseCmd(sg::DRAG, sg::NONE, false)},
        {"mouse move nopos", "mouse move nopos", mouseCmd(sg::MOVE, sg::NONE, false)},
        {"wheel", "wheel -240", wheel},
        {"entry type", "entry type hello world", textCmd(commandKind::entryType, "hello world")},
        {"entry type keeps blanks", "entry type  two  ", textCmd(commandKind::entryType, " two  ")},
        {"entry type keeps hashes", "entry type a #b", textCmd(commandKind::entryType, "a #b")},
        {"entry type empty", "entry type", textCmd(commandKind::entryType, "")},
        {"entry type one blank", "entry type ", textCmd(commandKind::entryType, "")},
        {"entry type UTF-8",
         "entry type Gr\xC3\xBC\xC3\x9F"
         "e",
         textCmd(commandKind::entryType, "Gr\xC3\xBC\xC3\x9F"
                                         "e")},
        {"entry enter", "entry enter", make(commandKind::entryEnter)},
        {"resize", "resize 640 480", resize},
        {"start", "start", make(commandKind::start)},
        {"stop", "stop", make(commandKind::stop)},
        {"activate", "activate", make(commandKind::activate)},
        {"deactivate", "deactivate", make(commandKind::deactivate)},
        {"destroy", "destroy", make(commandKind::destroy)},
        {"advance", "advance 0.5", advance},
        {"advance zero", "advance 0", advanceZero},
        {"dump", "dump out.json", textCmd(commandKind::dump, "out.json")},
        {"dump with blanks and comment", "dump my scene.json  # after",
         textCmd(commandKind::dump, "my scene.json")},
        {"view frame", "view frame", view(viewMoveKind::frame)},
        {"view home", "view home # back", view(viewMoveKind::home)},
        {"view orbit", "view orbit 180 -12.5", view(viewMoveKind::orbit, 180, -12.5)},
        {"view zoom", "view zoom 0.5", view(viewMoveKind::zoom, 0, 0, 0.5)},
        {"view site", "view site bob-2 # who",
         [&] {
             command c = view(viewMoveKind::site);
             c.text = "bob-2";
             return c;
         }()},
        {"undo", "undo", make(commandKind::undo)},
        {"redo", "  redo  # again", make(commandKind::redo)},
    };
    for (const goodCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto parsed = parseScript(c.line, "s.zel");
        ASSERT_TRUE(parsed.ok) << parsed.error;
        ASSERT_EQ(parsed.commands.size(), 1u);
        EXPECT_TRUE(parsed.commands[0] == c.expected);
    }
}

struct badCase {
    const char* name;
    std::string line;
    std::string error;
};

TEST(scriptParser, rejectsMalformedLinesWithFileLineAndReason) {
    const std::vector<badCase> cases = {
        {"unknown command", "jump", "s.zel:1: unknown command 'jump'"},
        {"key without argument", "key", "s.zel:1: missing argument; usage: key C"},
        {"key with two", "key x y", "s.zel:1: too many arguments; usage: key C"},
        {"two characters", "key xy", "s.zel:1: 'xy' is not one character or a 0x.. code"},
        {"bad hex", "down 0xZZ", "s.zel:1: '0xZZ' is not one character or a 0x.. code"},
        {"hex too large", "up 0x100000000",
         "s.zel:1: '0x100000000' is not one character or a 0x.. code"},
        {"invalid UTF-8", "key \xC3", "s.zel:1: '\xC3' is not one character or a 0x.. code"},
        {"overlong UTF-8", "key \xC0\xAF",
         "s.zel:1: '\xC0\xAF' is not one character or a 0x.. code"},
        {"encoded surrogate", "key \xED\xA0\x80",
         "s.zel:1: '\xED\xA0\x80' is not one character or a 0x.. code"},
        {"hash is a comment", "key #", "s.zel:1: missing argument; usage: key C"},
        {"mouse alone", "mouse",
         "s.zel:1: missing argument; usage: mouse down|drag|up B X Y, mouse move X Y (X Y may "
         "be nopos)"},
        {"mouse action", "mouse click 1 2 3",
         "s.zel:1: unknown mouse action 'click'; usage: mouse down|drag|up B X Y, mouse move X "
         "Y (X Y may be nopos)"},
        {"button out of range", "mouse down 4 1 2",
         "s.zel:1: button must be 0 to 3 (none, left, middle, right), got '4'"},
        {"negative button", "mouse down -1 1 2",
         "s.zel:1: button must be 0 to 3 (none, left, middle, right), got '-1'"},
        {"missing Y", "mouse down 1 10",
         "s.zel:1: missing argument; usage: mouse down|drag|up B X Y, mouse move X Y (X Y may "
         "be nopos)"},
        {"X not a number", "mouse move a 1", "s.zel:1: X must be an integer, got 'a'"},
        {"Y out of int range", "mouse move 1 99999999999",
         "s.zel:1: Y must be an integer, got '99999999999'"},
        {"wheel not a number", "wheel up", "s.zel:1: D must be an integer, got 'up'"},
        {"entry alone", "entry", "s.zel:1: usage: entry type TEXT, entry enter"},
        {"entry enter extra", "entry enter now", "s.zel:1: too many arguments; usage: entry enter"},
        {"entry text not UTF-8", "entry type \xFF", "s.zel:1: the text is not valid UTF-8"},
        {"resize zero", "resize 0 10", "s.zel:1: W and H must be 1 to 32767"},
        {"resize huge", "resize 10 40000", "s.zel:1: W and H must be 1 to 32767"},
        {"resize one number", "resize 10", "s.zel:1: missing argument; usage: resize W H"},
        {"lifecycle with argument", "start now", "s.zel:1: too many arguments; usage: start"},
        {"advance negative", "advance -1",
         "s.zel:1: S must be a number of seconds, 0 or more, got '-1'"},
        {"advance infinite", "advance inf",
         "s.zel:1: S must be a number of seconds, 0 or more, got 'inf'"},
        {"advance nan", "advance nan",
         "s.zel:1: S must be a number of seconds, 0 or more, got 'nan'"},
        {"advance words", "advance 1s",
         "s.zel:1: S must be a number of seconds, 0 or more, got '1s'"},
        {"dump without file", "dump # nothing", "s.zel:1: missing argument; usage: dump FILE"},
        {"view alone", "view",
         "s.zel:1: missing argument; usage: view frame, view home, view orbit DX DY, view zoom F, "
         "view site USER"},
        {"view move", "view spin 3",
         "s.zel:1: unknown view move 'spin'; usage: view frame, view home, view orbit DX DY, "
         "view zoom F, view site USER"},
        {"view site nobody", "view site", "s.zel:1: missing argument; usage: view site USER"},
        {"undo with an argument", "undo 2", "s.zel:1: too many arguments; usage: undo"},
        {"view frame extra", "view frame 2", "s.zel:1: too many arguments; usage: view frame"},
        {"orbit one angle", "view orbit 10", "s.zel:1: missing argument; usage: view orbit DX DY"},
        {"orbit words", "view orbit 10 up", "s.zel:1: DY must be a number, got 'up'"},
        {"orbit infinite", "view orbit inf 0", "s.zel:1: DX must be a number, got 'inf'"},
        {"zoom zero", "view zoom 0", "s.zel:1: F must be a number above 0, got '0'"},
        {"zoom negative", "view zoom -2", "s.zel:1: F must be a number above 0, got '-2'"},
        {"zoom nan", "view zoom nan", "s.zel:1: F must be a number above 0, got 'nan'"},
    };
    for (const badCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto parsed = parseScript(c.line, "s.zel");
        EXPECT_FALSE(parsed.ok);
        EXPECT_EQ(parsed.error, c.error);
        EXPECT_TRUE(parsed.commands.empty());
    }
}

TEST(scriptParser, skipsCommentsAndBlankLinesAndCountsLines) {
    auto parsed =
        parseScript("# tour\n\n   \nkey z\r\n\t# indented comment\nkey x\nadvance 1", "t");
    ASSERT_TRUE(parsed.ok) << parsed.error;
    ASSERT_EQ(parsed.commands.size(), 3u);
    EXPECT_EQ(parsed.commands[0].line, 4);
    EXPECT_EQ(parsed.commands[0].code, unsigned('z'));
    EXPECT_EQ(parsed.commands[1].line, 6);
    EXPECT_EQ(parsed.commands[2].line, 7);
    EXPECT_EQ(parsed.commands[2].seconds, 1.0);
}

TEST(scriptParser, oneBadLineRejectsTheWholeScript) {
    auto parsed = parseScript("key z\nkey x\n\nkey zz\nkey c\n", "/tmp/a.zel");
    EXPECT_FALSE(parsed.ok);
    EXPECT_TRUE(parsed.commands.empty());
    EXPECT_EQ(parsed.error, "/tmp/a.zel:4: 'zz' is not one character or a 0x.. code");
}

TEST(scriptParser, carriageReturnDoesNotReachTheEntryText) {
    auto parsed = parseScript("entry type abc\r\nentry type \r\n", "s");
    ASSERT_TRUE(parsed.ok);
    ASSERT_EQ(parsed.commands.size(), 2u);
    EXPECT_EQ(parsed.commands[0].text, "abc");
    EXPECT_EQ(parsed.commands[1].text, "");
}

TEST(scriptParser, emptyScriptHasNoCommands) {
    for (const char* text : {"", "\n", "# only a comment\n", "\r\n\r\n"}) {
        SCOPED_TRACE(text);
        auto parsed = parseScript(text, "s");
        EXPECT_TRUE(parsed.ok);
        EXPECT_TRUE(parsed.commands.empty());
    }
}

} // namespace
