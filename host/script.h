// Event scripts: one command a line, checked as a whole before anything runs.
#pragma once

#include <zel/scenegraph.h>

#include <string>
#include <string_view>
#include <vector>

namespace zel::host {

enum class commandKind {
    key, // key down then key up
    keyDown,
    keyUp,
    keyPress,  // auto-repeat
    mouse,     // button or motion event: mouseType, button, hasPos, x, y
    wheel,     // vertical wheel turn of delta
    entryType, // text
    entryEnter,
    resize, // width, height
    start,
    stop,
    activate,
    deactivate,
    destroy,
    advance,   // seconds
    dump,      // file
    view,      // camera move: viewMove, and for orbit dx, dy, for zoom factor
    sleep,     // seconds of real time
    shareSync, // seconds at most
    shareWait, // delta sites, seconds at most
    undo,      // this site's newest step
    redo,      // the newest step undone
};

enum class viewMoveKind { frame, home, orbit, zoom, site };

struct command {
    commandKind kind = commandKind::key;
    int line = 0;
    unsigned int code = 0;
    sceneGraph::MouseEvents mouseType = sceneGraph::MOVE;
    sceneGraph::MouseButtons button = sceneGraph::NONE;
    bool hasPos = false;
    int x = 0;
    int y = 0;
    int delta = 0;
    int width = 0;
    int height = 0;
    double seconds = 0.0;
    viewMoveKind viewMove = viewMoveKind::frame;
    double dx = 0.0, dy = 0.0; // degrees
    double factor = 1.0;
    // UTF-8: the entry's text, the dump file's name, or the user of "view site".
    std::string text;

    bool operator==(const command&) const = default;
};

struct parsedScript {
    bool ok = true;
    std::vector<command> commands;
    // When !ok: "NAME:LINE: REASON" for the first bad line, without a line end.
    std::string error;
};

// Parses the whole text; name is the script's name for error messages. Lines may end in "\r\n".
parsedScript parseScript(std::string_view text, std::string_view name);

// One key argument: a single UTF-8 character (its code point) or a code written 0x.. .
// False when it is neither.
bool parseKeyCode(std::string_view word, unsigned int& code);

// Window sizes accepted by resize.
inline constexpr int maxWindowSize = 32767;

} // namespace zel::host
