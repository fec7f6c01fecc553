#pragma once

// The import helper's sandbox, entered after its libraries are loaded and before it opens the model
// file: what a file that takes the importer over can still do is read the folders it was given and
// write to the descriptors it already holds.
//
// - no_new_privs: nothing it starts could gain rights (and the filters below need it).
// - Landlock (when the kernel has it): the file system is read-only and limited to the given
//   folders (the model's folder and the texture search folders); no TCP bind or connect (ABI 4);
//   no signals to processes outside the sandbox and no abstract UNIX sockets (ABI 6).
// - seccomp (libseccomp): an allow-list of system calls (importSyscallAllowList); everything else
//   fails with EPERM. Files open read-only only; new threads may start but new processes may not;
//   no sockets, execve, ptrace.

#include <filesystem>
#include <string>
#include <vector>

namespace zel::world::import {

// The Landlock ABI version of the running kernel, 0 when it has none (or it is switched off).
int landlockAbi();

struct sandboxOutcome {
    int landlockAbi = 0; // the version applied; 0: the file system is not restricted
    std::string error;   // why the sandbox could not be entered
};

// Enters the sandbox for the calling process (all its threads; it cannot be left). `readable`:
// the folders (or files) that stay readable, with everything beneath them. False with
// outcome.error when a part that must work failed (no_new_privs or seccomp); a kernel without
// Landlock is not an error (outcome.landlockAbi stays 0).
bool enterImportSandbox(const std::vector<std::filesystem::path>& readable,
                        sandboxOutcome& outcome);

// The system calls the filter allows, by name, for the documentation and the tests.
const std::vector<const char*>& importSyscallAllowList();

} // namespace zel::world::import
