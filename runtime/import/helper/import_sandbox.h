#pragma once

// The import helper's sandbox, entered after its libraries are loaded and before it reads the model
// file: the helper has no file system. Every file it reads is one the host's file broker
// (file_broker.h) handed over as a descriptor; what a file that takes the importer over can still
// do is read those descriptors, ask the broker and write to the result pipe.
//
// - no_new_privs: nothing it starts could gain rights (and the filters below need it); every
//   capability dropped (a helper started by root keeps none).
// - No file system: a user and mount namespace whose root is an empty read-only tmpfs, wherever
//   user namespaces work; and on top of it Landlock with no rule where the kernel has it (nothing
//   opens; no TCP bind or connect from ABI 4, no signals to processes outside the sandbox and no
//   abstract UNIX sockets from ABI 6). Where neither works, the helper refuses to import unless
//   the user allowed it (then the helper can read every file of the user).
// - seccomp (libseccomp, loaded for every thread, another architecture's calls kill the process):
//   an allow-list of system calls (importSyscallAllowList); everything else fails with EPERM.
//   No open by name, no stat, access or readlink of a name (only of descriptors); fcntl only for
//   descriptor flags and duplicates (no owner, signal, lease, notification or lock); no executable
//   memory; limits read for itself only; new threads and further filters until
//   closeThreadStarts(), new processes never; no new sockets, execve, ptrace.

#include <zel/import/import_protocol.h>
#include <zel/import/landlock_abi.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zel::import {

struct sandboxPlan {
    // At most this Landlock version is used (0: none), as if the kernel offered no more; -1: the
    // kernel's. For the tests of the older kernels' ways.
    int landlockAbiLimit = -1;
    // A user and mount namespace may hide the file system (false: as if the kernel refused one).
    bool mountNamespace = true;
    // Where neither confines the file system, the helper goes on with the filter alone.
    bool allowUnconfined = false;
};

enum class fileConfinement { none, landlock, mountNamespace, landlockAndNamespace };

struct sandboxOutcome {
    int landlockAbi = 0;         // the Landlock version applied; 0: none
    bool mountNamespace = false; // the empty root
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

// The request the host sends on fd (protocol::requestFd); none when it sends none (the helper was
// dismissed) or a malformed one.
std::optional<protocol::request> readRequest(int fd);

// The helper's way in for request, the one sequence the helper and the sandbox probe share: the
// CPU-time backstop for the request's deadline, the sandbox (unless the request asks for none),
// whileThreadsMayStart (where the helper starts the threads it needs), then closeThreadStarts.
// False with outcome.error.
bool enterHelperSandbox(const protocol::request& request, sandboxOutcome& outcome,
                        const std::function<void()>& whileThreadsMayStart = {});

// The system calls the filter allows, by name, for the documentation and the tests.
const std::vector<const char*>& importSyscallAllowList();

} // namespace zel::import
