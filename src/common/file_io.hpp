// Whole-file helpers and the existence test shared by every subsystem.
#pragma once

#include "common/text.hpp"
#include "platform/platform.hpp"

#include <string>

namespace kp {

// Anything the system reports attributes for, file or directory, exists.
bool exists(const std::u16string& path);

// Makes the caller's empty buffer size bytes long (zeros), with room to grow by headroom bytes
// without moving, in memory prepared to be filled whole; false when the memory cannot be had.
// Every buffer that takes a whole file is made here.
bool size_file_buffer(Bytes& buffer, std::size_t size, std::size_t headroom = 0);

// Fills the caller's empty buffer with the whole file (low 32 bits of its size) in one read;
// true only when exactly that many bytes came.
bool read_file_bytes(const std::u16string& path, Bytes& buffer);

// Creates or truncates the file and writes the whole buffer in one write; true only when all of
// it was written. A file created but not fully written stays in place.
bool write_file_bytes(const std::u16string& path, const Bytes& buffer);
// The same for a file in the temporary directory, which is kept private to the user.
bool write_temporary_file_bytes(const std::u16string& path, const Bytes& buffer);
// The whole buffer in one write to a file just opened for writing; false for no handle.
bool write_whole_file(const FileHandle& file, const Bytes& buffer);

// The file's bytes as UTF-16LE code units exactly as they stand (no byte-order mark skipped,
// zero units kept, nothing trimmed). Missing, unreadable, odd-length or empty: empty text.
std::u16string read_text_file(const std::u16string& path);

} // namespace kp
