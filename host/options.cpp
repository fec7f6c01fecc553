#include "options.h"

#include <zel/share/records.h>

#include <CLI/CLI.hpp>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>

#ifndef ZELHOST_VERSION
#define ZELHOST_VERSION "0"
#endif

namespace zel::host {

namespace {

constexpr const char* scriptHelp =
    R"(Script (--script FILE, or - for standard input): one command a line; blank lines are
skipped; a '#' that begins a word starts a comment, except in the text of "entry type".
The whole script is checked before anything runs; a bad line stops the host with
FILE:LINE: REASON on stderr and exit code 2.
  key C                    key down, then key up, of C
  down C | up C | press C  key down, key up, auto-repeat of C
                           C is one character (UTF-8), or a code written 0x.. (0x178)
  mouse down B X Y         button B (0 none, 1 left, 2 middle, 3 right) pressed at
                           window position (X, Y) pixels from the top-left corner
  mouse drag B X Y         motion with button B held
  mouse up B X Y           button B released
  mouse move X Y           motion with no button held
                           "nopos" in place of X Y: an event without a position
  wheel D                  vertical wheel turn of D (120 a notch, positive away)
  entry type TEXT          set the entry's text to the rest of the line after one
                           space (may be empty)
  entry enter              Enter in the entry
  resize W H               resize the window that holds the entry
                           (entry and resize do nothing when no window has an entry)
  start | stop | activate | deactivate
                           that lifecycle call on every live application
  destroy                  delete every live application; later commands skip it
  advance S                advance the animation clock by S seconds
  dump FILE                write the scene and the windows as JSON to FILE
  view frame               move the camera so that the placed model's bounding sphere
                           fills about 80 % of the view's smaller side (direction kept)
  view home                the camera back where the world put it (in a shared scene
                           also the navigator back on the site's arrival spot)
  view orbit DX DY         turn the camera round the model's centre by DX degrees about
                           the vertical (positive: to the camera's right) and DY about
                           the horizontal axis (positive: up, looking down on it)
  view zoom F              divide the camera's distance to the model's centre by F (> 0)
  view site USER           turn the camera to the first other site of USER and frame
                           its avatar and placed model together; none present: one
                           line on stderr, exit status 2
                           (view moves change the "head" node only; the package's nodes
                           keep their matrices)
  undo                     undo this site's newest step (what one input command changed
                           in the matrices of the site's own nodes; camera moves are none)
  redo                     redo the newest step undone; a new step forgets what was
                           undone (nothing to undo or redo: one line on stderr, the
                           script goes on)
  share sync [S]           wait (at most S seconds, default 10) until the broker has
                           every local change and every record it holds is applied here
  share wait N [S]         wait until at least N sites (this one included) are present
                           (a wait that runs out: one line on stderr, exit status 4)
  sleep S                  pause S seconds of real time (reading the folder's next
                           and previous models ahead meanwhile)
Without a script, when a display is available (DISPLAY or WAYLAND_DISPLAY) and
neither --headless nor --snapshot is given, the host opens a window on the scene:
character keys and the mouse go to the applications as in a script, the animation
clock follows real time, and the status window's entry takes typing when clicked.
Viewer keys: Up/Down walk forward/back, Left/Right turn, Page Up/Down rise/sink,
f frames the placed model, Home puts the camera back, Tab / Shift+Tab frame the next /
previous other site, Ctrl+Z undoes, Ctrl+Y or Ctrl+Shift+Z redo, F1 lists every key,
F2 lists the sites present, F12 saves screenshot-N.png, Escape (or closing the window) quits through the normal deactivate,
stop and delete. Unless the package holds the mouse (v held in axis mode XYZ), the
left drag orbits round the model, the right drag and the wheel zoom, the middle drag
pans. Otherwise the host starts each application, activates it, and stops it again.
--snapshot FILE.png draws one frame offscreen (no display needed) after the script,
or after the start-up when there is no script, status window included, at --size.
--share URL[,URL...] joins the shared scene --scene (default "default") at the NATS
broker(s) as --user (default: the login name); credentials come from the environment
only: ZEL_SHARE_USER and ZEL_SHARE_PASSWORD, or a credentials file ZEL_SHARE_CREDS.
Imported models are kept in $XDG_CACHE_HOME/propplacer/imports (else
~/.cache/propplacer/imports), at most ZEL_CACHE_SIZE (default 2G; K, M and G suffixes;
0 turns it off), so that a model seen before comes back without an import; delete the
folder to clear it.
A tls:// broker's certificate must come from the authority in ZEL_SHARE_CA (a PEM file).
Exit status: 0 on success; 2 on bad usage, a package that cannot be loaded, a script
error or a dump or snapshot that cannot be written; 4 when the broker cannot be
reached, refuses the credentials or the scene, or a share wait runs out. stdout
carries the packages' trace only.)";

void declare(CLI::App& app, hostOptions& o) {
    app.add_option("--package", o.packages,
                   "load package NAME (libNAME.so) and run each application it registers; "
                   "repeatable; default: propplacer")
        ->type_name("NAME")
        ->allow_extra_args(false);
    app.add_option("--package-path", o.packagePaths,
                   "search DIR for packages before ZEL_PACKAGE_PATH and the install folders; "
                   "repeatable")
        ->type_name("DIR")
        ->allow_extra_args(false);
    app.add_option("--models", o.models,
                   "the applications' model folder (default: the sample models)")
        ->type_name("DIR")
        ->check(
            [](const std::string& folder) {
                std::error_code ec;
                return std::filesystem::is_directory(folder, ec) ? std::string()
                                                                 : "no such folder: " + folder;
            },
            "");
    app.add_option("--script", o.script, "run the event script FILE ('-': standard input)")
        ->type_name("FILE|-");
    app.add_option("--dump", o.dump,
                   "after the script, write the scene and the windows as JSON to FILE")
        ->type_name("FILE");
    app.add_flag("--headless", o.headless, "run without a window");
    app.add_flag("--no-cache", o.noCache,
                 "import every model afresh, keep none in the import cache and read no model ahead "
                 "(ZEL_CACHE_SIZE=0 does the same for every run)");
    app.add_option("--snapshot", o.snapshot,
                   "after the script (or the start-up), draw one frame offscreen and write it to "
                   "FILE as PNG")
        ->type_name("FILE.png");
    app.add_option_function<std::string>(
           "--size", [&o](const std::string& text) { parseViewSize(text, o.width, o.height); },
           "the window's or the snapshot's size in pixels (default 1280x720)")
        ->type_name("WxH")
        ->check(
            [](const std::string& text) {
                int w = 0, h = 0;
                return parseViewSize(text, w, h)
                           ? std::string()
                           : "expected WxH with W and H from 1 to " + std::to_string(maxViewSize) +
                                 ", got '" + text + "'";
            },
            "");
    app.add_option_function<std::string>(
           "--share",
           [&o](const std::string& text) {
               o.share.clear();
               std::size_t from = 0;
               while (from <= text.size()) {
                   const std::size_t comma = std::min(text.find(',', from), text.size());
                   if (comma > from)
                       o.share.push_back(text.substr(from, comma - from));
                   from = comma + 1;
               }
           },
           "join a shared scene at the NATS broker(s) URL (nats:// or tls://HOST:PORT), "
           "comma-separated")
        ->type_name("URL[,URL...]")
        ->check(
            [](const std::string& text) {
                std::size_t from = 0;
                bool any = false;
                while (from <= text.size()) {
                    const std::size_t comma = std::min(text.find(',', from), text.size());
                    const std::string url = text.substr(from, comma - from);
                    if (!url.empty()) {
                        any = true;
                        // Never echoed: it may hold a password.
                        if (url.find('@') != std::string::npos)
                            return std::string(
                                "credentials do not go in the broker URL (it is not shown "
                                "here); give them in ZEL_SHARE_USER and ZEL_SHARE_PASSWORD, or "
                                "a credentials file in ZEL_SHARE_CREDS");
                        if (url.rfind("nats://", 0) != 0 && url.rfind("tls://", 0) != 0)
                            return "expected nats://HOST:PORT, got '" + url + "'";
                    }
                    from = comma + 1;
                }
                return any ? std::string() : std::string("no broker URL given");
            },
            "");
    app.add_option("--scene", o.scene, "the shared scene's name (default: default)")
        ->type_name("NAME")
        ->check(
            [](const std::string& name) {
                return share::validSceneName(name)
                           ? std::string()
                           : "a scene name is 1 to 64 letters, digits, '-' or '_', got '" + name +
                                 "'";
            },
            "");
    app.add_option("--user", o.user, "this site's user name in the shared scene (default: login)")
        ->type_name("NAME")
        ->check(
            [](const std::string& name) {
                return share::validUserName(name)
                           ? std::string()
                           : "a user name is 1 to 32 letters, digits, '-' or '_', got '" + name +
                                 "'";
            },
            "");
    app.set_version_flag("--version", std::string("zelhost ") + ZELHOST_VERSION,
                         "print the version and exit");
    app.footer(scriptHelp);
}

} // namespace

std::string defaultUserName() {
    std::string login;
    if (const char* name = getlogin(); name && *name)
        login = name;
    else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_name)
        login = pw->pw_name;
    else if (const char* user = std::getenv("USER"))
        login = user;
    std::string out;
    for (char c : login)
        if (out.size() < share::maxUserLength &&
            ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
             c == '-' || c == '_'))
            out.push_back(c);
    return out.empty() ? "user" : out;
}

bool parseViewSize(const std::string& text, int& width, int& height) {
    const std::size_t x = text.find_first_of("xX");
    if (x == std::string::npos)
        return false;
    auto side = [](std::string_view digits, int& value) {
        if (digits.empty() || digits.size() > 5)
            return false;
        int v = 0;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return false;
            v = v * 10 + (c - '0');
        }
        if (v < 1 || v > maxViewSize)
            return false;
        value = v;
        return true;
    };
    int w = 0, h = 0;
    const std::string_view all(text);
    if (!side(all.substr(0, x), w) || !side(all.substr(x + 1), h))
        return false;
    width = w;
    height = h;
    return true;
}

std::string helpText() {
    hostOptions o;
    CLI::App app("zelhost: loads zel packages and drives their applications", "zelhost");
    declare(app, o);
    return app.help();
}

parsedCommandLine parseCommandLine(const std::vector<std::string>& args) {
    parsedCommandLine result;
    hostOptions& o = result.options;
    CLI::App app("zelhost: loads zel packages and drives their applications", "zelhost");
    declare(app, o);
    std::vector<std::string> rest(args.size() > 1 ? args.begin() + 1 : args.end(), args.end());
    std::reverse(rest.begin(), rest.end()); // CLI11 takes the arguments last first
    try {
        app.parse(rest);
    } catch (const CLI::CallForHelp&) {
        result.out = app.help();
        return result;
    } catch (const CLI::CallForVersion&) {
        result.out = std::string("zelhost ") + ZELHOST_VERSION + "\n";
        return result;
    } catch (const CLI::ParseError& e) {
        result.exitCode = 2;
        std::string what = e.what();
        for (char& c : what)
            if (c == '\n')
                c = ' ';
        result.err = "zelhost: " + what + " (see zelhost --help)\n";
        return result;
    }
    if (o.packages.empty())
        o.packages.push_back("propplacer");
    result.run = true;
    return result;
}

} // namespace zel::host
