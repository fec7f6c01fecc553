#pragma once

// The import helper's sandbox, entered after its libraries are loaded and before it opens the model
// file: what a file that takes the importer over can still do is read the folders it was given and
// write to the descriptors it already holds.
//
// - no_new_privs: nothing it starts could gain rights (and the filters below need it); every
//   capability dropped (a helper started by root keeps none).
// - The file system, read-only and limited to the given folders (the model's folder and the
//   texture search folders), by Landlock where the kernel has it: no TCP bind or connect (ABI 4),
//   no signals to processes outside the sandbox and no abstract UNIX sockets (ABI 6). Without
//   Landlock, by a user and mount namespace whose root holds only those folders, bound read-only.
//   Where neither works, the helper refuses to import unless the user allowed it.
// - seccomp (libseccomp, loaded for every thread, another architecture's calls kill the process):
//   an allow-list of system calls (importSyscallAllowList); everything else fails with EPERM.
//   Files open read-only only and never as a bare path (O_PATH); fcntl only for descriptor flags
//   and duplicates (no owner, signal, lease, notification or lock); no executable memory; limits
//   read for itself only; new threads and further filters until closeThreadStarts(), new
//   processes never; no sockets, execve, ptrace.

#include <zel/import/import_protocol.h>

#include <filesystem>
#include <string>
#include <vector>

namespace zel::import {

// The Landlock ABI version of the running kernel, 0 when it has none (or it is switched off).
int landlockAbi();

struct sandboxPlan {
    // The folders (or files) that stay readable, with everything beneath them; absolute names.
    std::vector<std::filesystem::path> readable;
    // At most this Landlock version is used (0: none), as if the kernel offered no more; -1: the
    // kernel's. For the tests of the older kernels' ways.
    int landlockAbiLimit = -1;
    // Without Landlock, a user and mount namespace may confine the file system (false: as if the
    // kernel refused one).
    bool mountNamespace = true;
    // Where neither confines the file system, the helper goes on with the filter alone.
    bool allowUnconfined = false;
};

enum class fileConfinement { none, landlock, mountNamespace };

struct sandboxOutcome {
    int landlockAbi = 0; // the Landlock version applied; 0: none
    fileConfinement files = fileConfinement::none;
    std::string error; // why the sandbox could not be entered
};

// Enters the sandbox for the calling process, which must have one thread (it cannot be left).
// False with outcome.error when a part failed, or when the file system cannot be confined and the
// plan does not allow that.
bool enterImportSandbox(const sandboxPlan& plan, sandboxOutcome& outcome);

// The plan a request asks for.
sandboxPlan planFor(const protocol::request& request);

// Refuses new threads and further seccomp filters from here on, for every thread: the helper calls
// it once it has started the threads it needs, before the importer runs. False with error when the
// filter cannot be added.
bool closeThreadStarts(std::string& error);

// The environment variable by which the user allows imports with the system call filter alone,
// where the file system cannot be confined: set to 1.
inline constexpr const char* unconfinedSwitch = "ZEL_IMPORT_UNCONFINED";

// The system calls the filter allows, by name, for the documentation and the tests.
const std::vector<const char*>& importSyscallAllowList();

} // namespace zel::import
