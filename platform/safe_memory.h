// Reads of this process's own memory that cannot fault, for code that must survive a bad pointer
// (the crash report reads the stack and the bytes at a wild instruction pointer).
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane::platform {

// How the kernel is asked to copy: process_vm_readv on our own pid (where a seccomp policy refuses
// it, the pipe is used from then on), or always a write into a pipe.
enum class SafeReadMethod { kAuto, kPipe };

// Copies up to n bytes from address `from` to `to`, stopping at the first byte that cannot be
// read. Returns how many bytes were copied (0 when the first is unreadable). Async-signal-safe.
size_t read_memory_safely(void* to, uintptr_t from, size_t n, SafeReadMethod method = SafeReadMethod::kAuto);

}  // namespace orvane::platform
