// Zip archives for kpack: the entry list of an archive, and an archive written from files.
// kpack is built for both targets, but only the POSIX build has a zip library (libarchive):
// packer/posix/ implements this with it, packer/win32/ reports that it cannot, so every caller
// says in one line what it could not do.
#pragma once

#include "common/text.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kp::pack {

enum class ZipEntryType { file, folder, link, other };

struct ZipEntry {
    std::string name; // as stored, UTF-8
    ZipEntryType type = ZipEntryType::file;
    std::uint64_t size = 0;
    bool encrypted = false;
    std::string method; // "stored", "deflate", or the reader's name for another method
};

enum class ZipRead { listed, not_a_zip, damaged, unavailable };

struct ZipListing {
    ZipRead result = ZipRead::unavailable;
    std::vector<ZipEntry> entries;
    std::string problem; // why it was not listed
};

// Whether this build reads and writes zip archives at all.
bool zip_available();
// One line saying what this build cannot do; empty when zip_available().
const char* zip_unavailable_reason();

ZipListing list_zip_file(const std::filesystem::path& path);
ZipListing list_zip_bytes(const Bytes& archive);

struct ZipInput {
    std::string name; // relative, '/' separated, UTF-8, without a trailing '/'
    std::filesystem::path path;
    bool executable = false;
    bool folder = false; // an empty folder, kept as a folder entry
};

// Writes a deflate zip holding the files in the given order, deterministically: fixed times,
// owners and modes (0755 or 0644), so that the same files give the same bytes. On failure,
// failed_source is the input file that could not be read, or empty when the zip could not be
// written; problem says why, in the system's words where it has them.
bool write_zip(const std::filesystem::path& target, const std::vector<ZipInput>& files,
               std::filesystem::path& failed_source, std::string& problem);

} // namespace kp::pack
