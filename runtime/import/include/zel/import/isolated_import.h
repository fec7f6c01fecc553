#pragma once

// One import in a child process: the helper executable `zelimport` reads the file with Assimp and
// sends the scene back through a pipe in the project's wire format (scene_codec.h), which the
// caller reads and checks while it arrives. Whatever the file does to the importer (crash, abort,
// endless loop, runaway memory, garbage output), the caller gets either a checked scene or null
// with a reason.
//
// The child runs in its own process group with stdin, stdout and stderr on /dev/null (the caller's
// stdout stays the trace), no other inherited descriptor, no core dumps, no file writes, an
// address-space limit and a CPU-time backstop; it dies with the thread that started it. It is
// always reaped: after a success in the background, since the exit of a process that held a large
// model takes a while and the caller has what it needs.

#include <zel/import/imported_scene.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace zel::world::import {

struct isolationOptions {
    // Wall-clock time the child gets; then it is killed and the read fails.
    std::chrono::milliseconds deadline{30'000};
    // The child's address-space limit (0: none). Not applied in sanitizer builds, whose shadow
    // memory cannot live with one.
    std::uint64_t addressSpaceLimit = std::uint64_t{4} << 30;
    // The largest result the parent accepts from the child.
    std::uint64_t maxResultBytes = std::uint64_t{2} << 30;
    // The helper executable; empty: locateImporter().
    std::filesystem::path importer;
};

// When the result of one isolated import came, for the tools and benchmarks. Seconds from the
// start of the child.
struct isolationStats {
    double firstByteSeconds = 0; // the child's import, until its result began to arrive
    double decodedSeconds = 0;   // the result read and checked (while the child was writing it)
};

// The helper: $ZEL_IMPORTER when set, else `zelimport` in the folder of the binary that holds this
// code. Empty with a reason when there is none.
std::filesystem::path locateImporter(std::string* reason);

// Imports file in a child process. Null with a reason (one line, no file name) on any failure: no
// such file, not a regular file, an empty file, the importer's own message, a crash, a timeout, a
// malformed result. Prints nothing. Safe to call from several threads.
std::optional<scene> importIsolated(const std::filesystem::path& file,
                                    const isolationOptions& options, std::string* reason,
                                    isolationStats* stats = nullptr);

} // namespace zel::world::import
