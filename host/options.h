// The command line of zelhost.
#pragma once

#include <string>
#include <vector>

namespace zel::host {

struct hostOptions {
    // Package names, in the order given; "propplacer" when none is given.
    std::vector<std::string> packages;
    // Folders searched for packages before the loader's own folders.
    std::vector<std::string> packagePaths;
    // The application's model folder; empty means the sample models.
    std::string models;
    // The event script; empty for none, "-" for standard input.
    std::string script;
    // Where to write the JSON dump after the script; empty for none.
    std::string dump;
    // Without a script: never open a window, even when a display is available.
    bool headless = false;
    // After the script (or the start-up when there is none), one frame drawn offscreen is written
    // to this PNG file; empty for none. Never opens a window.
    std::string snapshot;
    // The size of the window or of the snapshot, in pixels.
    int width = 1280;
    int height = 720;
    // The brokers of a shared scene (nats://HOST:PORT each); empty: the scene is this host's alone.
    std::vector<std::string> share;
    // The shared scene's name, and this site's user name (empty: the login name).
    std::string scene = "default";
    std::string user;
    // Read and keep no model in the persistent import cache for this run.
    bool noCache = false;
};

// The login name cut to what a user name may hold (letters, digits, '-' and '_', at most 32
// characters), or "user" when nothing of it is left.
std::string defaultUserName();

// The largest width or height that --size accepts.
inline constexpr int maxViewSize = 16384;
// "WxH" with each side from 1 to maxViewSize. False for anything else.
bool parseViewSize(const std::string& text, int& width, int& height);

// What parsing decided. When run is false the host exits at once with exitCode, after writing
// out (to stdout: help, version) and err (to stderr: one line saying what is wrong).
struct parsedCommandLine {
    bool run = false;
    int exitCode = 0;
    hostOptions options;
    std::string out;
    std::string err;
};

// args[0] is the program name. Never throws.
parsedCommandLine parseCommandLine(const std::vector<std::string>& args);

// The help text that --help prints.
std::string helpText();

} // namespace zel::host
