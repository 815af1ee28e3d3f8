// The Windows build of kpack has no zip library: it lists and writes no zip archives.
#include "zip_archive.hpp"

namespace kp::pack {

bool zip_available() {
    return false;
}

const char* zip_unavailable_reason() {
    return "this Windows build of kpack has no zip library; the Linux build of the same kpack reads and "
           "writes zip archives";
}

ZipListing list_zip_file(const std::filesystem::path&) {
    return {ZipRead::unavailable, {}, zip_unavailable_reason()};
}

ZipListing list_zip_bytes(const Bytes&) {
    return {ZipRead::unavailable, {}, zip_unavailable_reason()};
}

bool write_zip(const std::filesystem::path&, const std::vector<ZipInput>&, std::filesystem::path&,
               std::string& problem) {
    problem = zip_unavailable_reason();
    return false;
}

} // namespace kp::pack
