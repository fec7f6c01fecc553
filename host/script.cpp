#include "script.h"

#include <charconv>
#include <cmath>
#include <map>

namespace zel::host {

namespace {

// One code point from valid UTF-8 (no overlongs, no surrogates, at most U+10FFFF).
bool decodeUtf8(std::string_view s, std::size_t& i, char32_t& cp) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    int extra = 0;
    char32_t min = 0;
    if (b0 < 0x80) {
        cp = b0;
        ++i;
        return true;
    } else if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return false;
    }
    if (i + extra >= s.size())
        return false;
    for (int k = 1; k <= extra; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    i += extra + 1;
    return true;
}

bool validUtf8(std::string_view s) {
    std::size_t i = 0;
    char32_t cp;
    while (i < s.size())
        if (!decodeUtf8(s, i, cp))
            return false;
    return true;
}

struct word {
    std::string_view text;
    std::size_t begin;
    std::size_t end;
};

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// The words of a line up to a comment: a '#' that begins a word.
std::vector<word> splitWords(std::string_view line) {
    std::vector<word> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i]))
            ++i;
        if (i == line.size() || line[i] == '#')
            break;
        std::size_t b = i;
        while (i < line.size() && !isBlank(line[i]))
            ++i;
        words.push_back({line.substr(b, i - b), b, i});
    }
    return words;
}

template <class T> bool parseNumber(std::string_view w, T& value) {
    const char* first = w.data();
    const char* last = w.data() + w.size();
    auto [ptr, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && ptr == last && !w.empty();
}

std::string quoted(std::string_view w) {
    return "'" + std::string(w) + "'";
}

class lineParser {
public:
    lineParser(std::string_view line, int number) : line_(line), words_(splitWords(line)) {
        cmd_.line = number;
    }

    bool empty() const { return words_.empty(); }
    // False with reason() set when the line is not a command.
    bool parse();
    const command& result() const { return cmd_; }
    const std::string& reason() const { return reason_; }

private:
    bool fail(std::string why) {
        reason_ = std::move(why);
        return false;
    }
    bool count(std::size_t n, const char* usage) {
        if (words_.size() != n)
            return fail(std::string(words_.size() < n ? "missing argument" : "too many arguments") +
                        "; usage: " + usage);
        return true;
    }
    bool integer(std::size_t index, const char* what, int& value) {
        if (!parseNumber(words_[index].text, value))
            return fail(std::string(what) + " must be an integer, got " +
                        quoted(words_[index].text));
        return true;
    }
    bool parseKey(commandKind kind, const char* usage);
    bool parseMouse();
    bool parseEntry();
    bool parseView();
    bool number(std::size_t index, const char* what, double& value) {
        if (!parseNumber(words_[index].text, value) || !std::isfinite(value))
            return fail(std::string(what) + " must be a number, got " + quoted(words_[index].text));
        return true;
    }
    bool parseShare();

    std::string_view line_;
    std::vector<word> words_;
    command cmd_;
    std::string reason_;
};

bool lineParser::parseKey(commandKind kind, const char* usage) {
    cmd_.kind = kind;
    if (!count(2, usage))
        return false;
    if (!parseKeyCode(words_[1].text, cmd_.code))
        return fail(quoted(words_[1].text) + " is not one character or a 0x.. code");
    return true;
}

bool lineParser::parseMouse() {
    static const char* usage = "mouse down|drag|up B X Y, mouse move X Y (X Y may be nopos)";
    using namespace sceneGraph;
    cmd_.kind = commandKind::mouse;
    if (words_.size() < 2)
        return fail(std::string("missing argument; usage: ") + usage);
    std::string_view action = words_[1].text;
    std::size_t at = 2;
    if (action == "move") {
        cmd_.mouseType = MOVE;
        cmd_.button = NONE;
    } else {
        if (action == "down")
            cmd_.mouseType = DOWN;
        else if (action == "drag")
            cmd_.mouseType = DRAG;
        else if (action == "up")
            cmd_.mouseType = UP;
        else
            return fail("unknown mouse action " + quoted(action) + "; usage: " + usage);
        if (words_.size() < 3)
            return fail(std::string("missing argument; usage: ") + usage);
        int b = 0;
        if (!parseNumber(words_[2].text, b) || b < NONE || b > RIGHT)
            return fail("button must be 0 to 3 (none, left, middle, right), got " +
                        quoted(words_[2].text));
        cmd_.button = static_cast<MouseButtons>(b);
        at = 3;
    }
    if (words_.size() == at + 1 && words_[at].text == "nopos") {
        cmd_.hasPos = false;
        return true;
    }
    if (!count(at + 2, usage))
        return false;
    cmd_.hasPos = true;
    return integer(at, "X", cmd_.x) && integer(at + 1, "Y", cmd_.y);
}

bool lineParser::parseEntry() {
    if (words_.size() >= 2 && words_[1].text == "type") {
        cmd_.kind = commandKind::entryType;
        // The text is the rest of the line after one blank, comment signs and all.
        std::size_t from = words_[1].end + 1;
        std::string_view text = from <= line_.size() ? line_.substr(from) : std::string_view();
        if (!validUtf8(text))
            return fail("the text is not valid UTF-8");
        cmd_.text = std::string(text);
        return true;
    }
    if (words_.size() >= 2 && words_[1].text == "enter") {
        cmd_.kind = commandKind::entryEnter;
        return count(2, "entry enter");
    }
    return fail("usage: entry type TEXT, entry enter");
}

bool lineParser::parseView() {
    static const char* usage =
        "view frame, view home, view orbit DX DY, view zoom F, view site USER";
    cmd_.kind = commandKind::view;
    if (words_.size() < 2)
        return fail(std::string("missing argument; usage: ") + usage);
    const std::string_view move = words_[1].text;
    if (move == "frame") {
        cmd_.viewMove = viewMoveKind::frame;
        return count(2, "view frame");
    }
    if (move == "home") {
        cmd_.viewMove = viewMoveKind::home;
        return count(2, "view home");
    }
    if (move == "orbit") {
        cmd_.viewMove = viewMoveKind::orbit;
        return count(4, "view orbit DX DY") && number(2, "DX", cmd_.dx) && number(3, "DY", cmd_.dy);
    }
    if (move == "zoom") {
        cmd_.viewMove = viewMoveKind::zoom;
        if (!count(3, "view zoom F"))
            return false;
        if (!parseNumber(words_[2].text, cmd_.factor) || !std::isfinite(cmd_.factor) ||
            cmd_.factor <= 0.0)
            return fail("F must be a number above 0, got " + quoted(words_[2].text));
        return true;
    }
    if (move == "site") {
        cmd_.viewMove = viewMoveKind::site;
        if (!count(3, "view site USER"))
            return false;
        cmd_.text = std::string(words_[2].text);
        if (!validUtf8(cmd_.text))
            return fail("USER is not valid UTF-8");
        return true;
    }
    return fail("unknown view move " + quoted(move) + "; usage: " + usage);
}

bool lineParser::parseShare() {
    const char* usage = "share sync [S], share wait N [S]";
    auto seconds = [&](std::size_t at) {
        cmd_.seconds = 10.0;
        if (words_.size() <= at)
            return true;
        if (!parseNumber(words_[at].text, cmd_.seconds) || !std::isfinite(cmd_.seconds) ||
            cmd_.seconds < 0.0 || cmd_.seconds > 3600.0)
            return fail("S must be a number of seconds from 0 to 3600, got " +
                        quoted(words_[at].text));
        return true;
    };
    if (words_.size() >= 2 && words_[1].text == "sync") {
        cmd_.kind = commandKind::shareSync;
        if (words_.size() > 3)
            return fail(std::string("too many arguments; usage: ") + usage);
        return seconds(2);
    }
    if (words_.size() >= 3 && words_[1].text == "wait") {
        cmd_.kind = commandKind::shareWait;
        if (words_.size() > 4)
            return fail(std::string("too many arguments; usage: ") + usage);
        if (!integer(2, "N", cmd_.delta))
            return false;
        if (cmd_.delta < 1 || cmd_.delta > 10000)
            return fail("N must be 1 to 10000 sites, got " + quoted(words_[2].text));
        return seconds(3);
    }
    return fail(std::string("usage: ") + usage);
}

bool lineParser::parse() {
    static const std::map<std::string_view, commandKind, std::less<>> lifecycle = {
        {"start", commandKind::start},       {"stop", commandKind::stop},
        {"activate", commandKind::activate}, {"deactivate", commandKind::deactivate},
        {"destroy", commandKind::destroy},
    };
    std::string_view name = words_[0].text;
    if (name == "key")
        return parseKey(commandKind::key, "key C");
    if (name == "down")
        return parseKey(commandKind::keyDown, "down C");
    if (name == "up")
        return parseKey(commandKind::keyUp, "up C");
    if (name == "press")
        return parseKey(commandKind::keyPress, "press C");
    if (name == "mouse")
        return parseMouse();
    if (name == "wheel") {
        cmd_.kind = commandKind::wheel;
        return count(2, "wheel D") && integer(1, "D", cmd_.delta);
    }
    if (name == "entry")
        return parseEntry();
    if (name == "resize") {
        cmd_.kind = commandKind::resize;
        if (!count(3, "resize W H") || !integer(1, "W", cmd_.width) ||
            !integer(2, "H", cmd_.height))
            return false;
        if (cmd_.width < 1 || cmd_.height < 1 || cmd_.width > maxWindowSize ||
            cmd_.height > maxWindowSize)
            return fail("W and H must be 1 to " + std::to_string(maxWindowSize));
        return true;
    }
    if (auto it = lifecycle.find(name); it != lifecycle.end()) {
        cmd_.kind = it->second;
        return count(1, std::string(name).c_str());
    }
    if (name == "advance") {
        cmd_.kind = commandKind::advance;
        if (!count(2, "advance S"))
            return false;
        if (!parseNumber(words_[1].text, cmd_.seconds) || !std::isfinite(cmd_.seconds) ||
            cmd_.seconds < 0.0)
            return fail("S must be a number of seconds, 0 or more, got " + quoted(words_[1].text));
        return true;
    }
    if (name == "sleep") {
        cmd_.kind = commandKind::sleep;
        if (!count(2, "sleep S"))
            return false;
        if (!parseNumber(words_[1].text, cmd_.seconds) || !std::isfinite(cmd_.seconds) ||
            cmd_.seconds < 0.0 || cmd_.seconds > 3600.0)
            return fail("S must be a number of seconds from 0 to 3600, got " +
                        quoted(words_[1].text));
        return true;
    }
    if (name == "share")
        return parseShare();
    if (name == "undo" || name == "redo") {
        cmd_.kind = name == "undo" ? commandKind::undo : commandKind::redo;
        return count(1, std::string(name).c_str());
    }
    if (name == "dump") {
        cmd_.kind = commandKind::dump;
        if (words_.size() < 2)
            return fail("missing argument; usage: dump FILE");
        // A file name may hold blanks: everything up to a comment, trimmed.
        cmd_.text = std::string(line_.substr(words_[1].begin, words_.back().end - words_[1].begin));
        return true;
    }
    if (name == "view")
        return parseView();
    return fail("unknown command " + quoted(name));
}

} // namespace

bool parseKeyCode(std::string_view w, unsigned int& code) {
    if (w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X')) {
        std::string_view digits = w.substr(2);
        unsigned int value = 0;
        auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
        if (ec != std::errc() || ptr != digits.data() + digits.size())
            return false;
        code = value;
        return true;
    }
    if (w.empty())
        return false;
    std::size_t i = 0;
    char32_t cp = 0;
    if (!decodeUtf8(w, i, cp) || i != w.size())
        return false;
    code = static_cast<unsigned int>(cp);
    return true;
}

parsedScript parseScript(std::string_view text, std::string_view name) {
    parsedScript result;
    int number = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        std::string_view line =
            text.substr(pos, eol == std::string_view::npos ? std::string_view::npos : eol - pos);
        pos = eol == std::string_view::npos ? text.size() : eol + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lineParser p(line, number);
        if (p.empty())
            continue;
        if (!p.parse()) {
            result.ok = false;
            result.commands.clear();
            result.error = std::string(name) + ":" + std::to_string(number) + ": " + p.reason();
            return result;
        }
        result.commands.push_back(p.result());
    }
    return result;
}

} // namespace zel::host
