// The central directory of a zip archive held in memory: what each entry will become on disk.
// Both the launcher (before it installs) and kpack (before it ships) read archives through this,
// so an archive the launcher would refuse is refused at build time already.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kp {

struct ZipDirectoryEntry {
    std::string name;       // as stored, '/' separated, UTF-8 (or ASCII)
    std::uint64_t size = 0; // uncompressed size, Zip64 resolved
    std::uint32_t crc32 = 0;
    bool folder = false; // a folder entry (name ends in '/')
};

// Why an archive cannot be installed faithfully. Entry names are checked component by component
// (components are the parts between '/'; a folder entry's one trailing '/' ends it):
// - non_ascii_name_without_utf8_flag: a byte of 0x80 or above in a name without general purpose
//   bit 11; its meaning would depend on the code page of the machine that unpacks it;
// - duplicate_name: two entries naming the same path when letter case is folded as Windows folds
//   it (ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic letters), a file and a folder entry
//   included; also a file whose name is the folder of another entry ("a" and "a/b");
// - unsafe_name: a name that would land outside the install directory, or elsewhere than it says:
//   an empty name, a leading '/' or any empty component ("a//b"), a component "." or "..", a
//   backslash (a separator to Windows, a plain character to POSIX), a drive letter or any ':'
//   (alternate data streams), the characters < > " | ? * or a control character, and a component
//   that ends in '.' or ' ' (Windows drops those, so the file would arrive under another name);
// - device_name: a component that Windows maps to a device (common/device_names.hpp): the shell
//   cannot place the file, the installation never completes, and every launch would install again;
// - malformed: anything that does not hold together: no end record, offsets or lengths past the
//   buffer or past each other, a wrong signature, an archive spanning disks, invalid UTF-8 in a
//   name flagged as UTF-8, a Zip64 field missing where the record says it is there.
enum class ZipDirectoryProblem {
    none,
    malformed,
    non_ascii_name_without_utf8_flag,
    duplicate_name,
    unsafe_name,
    device_name
};

struct ZipDirectory {
    ZipDirectoryProblem problem = ZipDirectoryProblem::none;
    std::string problem_entry; // the entry at fault, when one is
    std::vector<ZipDirectoryEntry> entries;
};

// Every offset and length is checked against the buffer; nothing past data + size is read.
// With a problem, entries holds what was read before it and must not be used.
ZipDirectory read_zip_directory(const std::uint8_t* data, std::size_t size);

} // namespace kp
