// The streaming handle on POSIX: a descriptor read through a read-ahead window, so that the
// small reads of a sequential pass (entry heads, small files) cost no system call of their own,
// while large reads still go straight into the caller's buffer. The handle keeps its own file
// pointer and reads with pread, so a seek costs no system call either.
#pragma once

#include <cstdint>

namespace kp::posix {

struct ReadAheadFile;

// A streaming handle's raw value has its top bit set (no user-space address has it on the 64-bit
// targets); a plain file handle is a descriptor plus one, far below it.
bool is_read_ahead(std::uintptr_t raw);
ReadAheadFile& read_ahead_from_raw(std::uintptr_t raw);

// Takes the open descriptor over; 0 (and the descriptor closed) when memory cannot be had.
std::uintptr_t open_read_ahead(int fd);
void close_read_ahead(std::uintptr_t raw);

int read_ahead_fd(const ReadAheadFile& file);
bool seek_read_ahead(ReadAheadFile& file, std::uint64_t offset);
// As ReadFile: true with done < size only at the end of the file.
bool read_read_ahead(ReadAheadFile& file, void* buffer, std::uint32_t size, std::uint32_t& done);

} // namespace kp::posix
