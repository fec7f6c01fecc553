#pragma once

// One import in a child process: the helper executable `zelimport` reads the file with Assimp and
// sends the scene back through a pipe in the project's wire format (scene_codec.h), which the
// caller reads and checks while it arrives. Whatever the file does to the importer (crash, abort,
// endless loop, runaway memory, garbage output), the caller gets either a checked scene or null
// with a reason.
//
// The child runs in its own process group with stdin, stdout and stderr on /dev/null (the caller's
// stdout stays the trace), no other inherited descriptor, a fixed environment (nothing of the
// caller's), no core dumps, no file writes, at most 64 descriptors, an address-space limit and a
// CPU-time backstop; it dies with the thread that started it (helper_process.h). It is
// always reaped: after a success in the background, since the exit of a process that held a large
// model takes a while and the caller has what it needs.

#include <zel/import/file_broker.h>
#include <zel/import/imported_scene.h>
#include <zel/import/scene_codec.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zel::import {

struct isolationOptions {
    // Wall-clock time the child gets; then it is killed and the read fails. Zero: it follows the
    // file's size (deadlineFor).
    std::chrono::milliseconds deadline{0};
    // The size rule: baseDeadline plus deadlinePerMiB for every MiB of the file, at most
    // maxDeadline.
    std::chrono::milliseconds baseDeadline{2'000};
    std::chrono::milliseconds deadlinePerMiB{500};
    std::chrono::milliseconds maxDeadline{600'000};
    // The child's address-space limit (0: none). Not applied in sanitizer builds, whose shadow
    // memory cannot live with one.
    std::uint64_t addressSpaceLimit = std::uint64_t{4} << 30;
    // The largest result the parent accepts from the child follows what the child was given to
    // read (resultBudgetFor): resultFloorBytes plus resultPerInputByte for every byte of the
    // model and the other files the file broker granted it by the time the result begins (but
    // pictures), at most maxResultBytes. The floor holds a model's pictures, which the helper
    // decodes to at most 64 MiB of pixels.
    std::uint64_t maxResultBytes = std::uint64_t{2} << 30;
    std::uint64_t resultFloorBytes = std::uint64_t{128} << 20;
    std::uint64_t resultPerInputByte = 32;
    // The helper executable; empty: locateImporter().
    std::filesystem::path importer;
    // The child's sandbox (import_sandbox.h): it has no file system, and reads only what the host's
    // file broker (file_broker.h) grants: files beneath the model's folder and these folders (the
    // texture search folders), within brokerLimits.
    bool sandbox = true;
    std::vector<std::filesystem::path> readableFolders;
    brokerLimits fileLimits;
    // Where the file system cannot be confined (no Landlock, no user namespace), import with the
    // system call filter alone; also when the environment sets ZEL_IMPORT_UNCONFINED=1.
    bool allowUnconfined = false;
    // For the tests of older kernels' ways (sandboxPlan): at most this Landlock version (0: none;
    // -1: the kernel's), and whether a mount namespace may stand in for it.
    int landlockAbiLimit = -1;
    bool mountNamespace = true;
    // Keep one helper started ahead, its libraries loaded, for the next import (still one helper
    // per file). It is a child process of the thread that imports.
    bool keepOneReady = false;
};

// The environment variable by which the user allows imports with the system call filter alone,
// where the file system cannot be confined: set to 1.
inline constexpr const char* unconfinedSwitch = "ZEL_IMPORT_UNCONFINED";

// Called while an import runs, about every 50 ms and whenever the child reports, with the part
// done (0 to 1). Returning false cancels the import: the child is killed and the read fails with
// the reason "cancelled".
using importProgress = std::function<bool(double done)>;

// When the result of one isolated import came, for the tools and benchmarks. Seconds from the
// start of the child.
struct isolationStats {
    double startSeconds = 0;     // the child started, when none was ready (else 0)
    double firstByteSeconds = 0; // the child's import, until its result began to arrive
    double decodedSeconds = 0;   // the result read and checked (while the child was writing it)
    bool readyChild = false;     // a child started ahead took the file
    // Every distinct file the helper was given, in the order of first grant (the model first),
    // and their sizes together; on success and on failure alike.
    std::vector<grantedFile> files;
    std::uint64_t grantedBytes = 0;
    // The names the broker found nothing under (fileBroker::absent).
    std::vector<std::filesystem::path> absent;
    // Set by the caller to have `encoding` hold the result's bytes exactly as they came and were
    // checked (one encoding, scene_codec.h), on success.
    bool keepEncoding = false;
    std::vector<std::byte> encoding;
};

// The time an import of a file of `bytes` bytes gets under options: options.deadline when set, else
// the size rule. A stuck import of a small file costs seconds; a large file gets a generous
// allowance (a 20 MiB model that loads in under a second here gets 12 s).
std::chrono::milliseconds deadlineFor(std::uint64_t bytes, const isolationOptions& options);

// The largest result the host accepts from a helper given inputBytes to read (the model and the
// other files the broker granted it, but pictures): options.resultFloorBytes plus
// options.resultPerInputByte a byte, at most options.maxResultBytes. The decoder's memory budget
// follows the size the result announces within it (defaultBudget).
std::uint64_t resultBudgetFor(std::uint64_t inputBytes, const isolationOptions& options);

// The helper: $ZEL_IMPORTER when set, else `zelimport` in the folder of the binary that holds this
// code. Empty with a reason when there is none.
std::filesystem::path locateImporter(std::string* reason);

// Imports file in a child process. Null with a reason (one line, no file name) on any failure: no
// such file, not a regular file, an empty file, the importer's own message, a crash, a timeout, a
// malformed result. Prints nothing. Safe to call from several threads.
std::optional<scene> importIsolated(const std::filesystem::path& file,
                                    const isolationOptions& options, std::string* reason,
                                    isolationStats* stats = nullptr,
                                    const importProgress& progress = {});

// The host's half of the result channel on its own, for the fuzz target: progress records, then
// one encoding read from fd as importIsolated reads a helper's, within deadline and maxBytes.
decodeResult readHelperResult(int fd, std::chrono::milliseconds deadline, std::uint64_t maxBytes,
                              decodeLimits limits = {});

// Starts the helper that the next import with these options takes (when options.keepOneReady and
// none is waiting), so that its start overlaps other work. From the thread that will import.
void prepareImporter(const isolationOptions& options);
// Ends the helper waiting for a file, if any.
void dismissReadyImporter();

} // namespace zel::import
