// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_SANDBOX_H
#define VIRELTO_SERVER_SANDBOX_H

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace ocrserver::sandbox {

// Memory (address space) and file-size limits for a worker process, set
// before it loads its models so that they count too. Library output goes
// to a memory file whose size the file-size limit bounds.
void limitResources(std::size_t addressSpace, std::size_t outputFile);

// The CPU time the process may still use, as a backstop for a page a
// library never returns from: the kernel ends the process past it.
void limitCpu(std::chrono::seconds more);

// Locks the process in for good: no new privileges; where the kernel has
// Landlock, files only read, and only under `readable`, and (ABI 6) no
// signal to a process outside it; and a system-call filter that allows what
// reading a page needs and nothing else (no new processes or programs, no
// sockets, no opening a file for writing, signals and limits for this
// process only, no device requests but a terminal check).
// Returns what could not be applied (an old kernel without Landlock), or
// throws std::runtime_error when the filter cannot be installed.
std::string enter(const std::vector<std::string> &readable);

} // namespace ocrserver::sandbox

#endif
