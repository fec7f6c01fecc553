#pragma once

// The helpers this process starts: one for each import, and at most one started ahead, its
// libraries loaded, for the next import whose options match it.

#include <zel/base/unique_fd.h>
#include <zel/import/isolated_import.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include <sys/types.h>

namespace zel::import {

// A helper started and waiting for its request.
struct childProcess {
    pid_t pid = -1;
    base::uniqueFd result;  // the result pipe's read end
    base::uniqueFd request; // the request socket's parent end
    std::filesystem::path importer;
    std::uint64_t addressSpaceLimit = 0;
    std::string error; // why it could not be started
};

// Starts the helper: fd 3 the result pipe's write end, fd 4 the request socket. pid is -1, with
// error, when it could not be started.
std::unique_ptr<childProcess> startChild(const std::filesystem::path& importer,
                                         const isolationOptions& options);

// Ends a helper that never got (or no longer needs) its request.
void dismiss(std::unique_ptr<childProcess> child);

// The helper started ahead when it was started for this importer and these limits; else none (and
// one that does not match is dismissed).
std::unique_ptr<childProcess> takeReady(const std::filesystem::path& importer,
                                        const isolationOptions& options);

// options.importer, else locateImporter().
std::filesystem::path importerFor(const isolationOptions& options, std::string* reason);

// Landlock is the kernel's; without it the namespace alone hides the file system. Said once.
void noteMissingLandlock(const isolationOptions& options);

} // namespace zel::import
