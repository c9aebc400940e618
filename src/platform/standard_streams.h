// The process's standard input and output as bytes, below any C runtime's
// buffers and text modes, for the library's own readers and writers of them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace marlune::platform {

// The bytes standard input holds from its position on, where it is a regular
// file; false for anything whose end only its reads tell (a pipe, a terminal).
// A pipe is widened on the way where the system allows it.
bool standardInputLength(std::uint64_t& bytes);

// Reads at most `size` bytes: the count (0 at the end), or -1 with the system's code in `error`.
std::int64_t readStandardInput(void* buffer, std::size_t size, int& error);

// Writes all `size` bytes: 0, or the system's code.
int writeStandardOutput(const void* buffer, std::size_t size);

// Widens standard output where it is a pipe and the system allows it.
void prepareStandardOutput();

}  // namespace marlune::platform
