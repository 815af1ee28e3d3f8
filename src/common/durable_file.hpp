// Writing a small file whole, with its data sent on to stable storage.
#pragma once

#include "common/text.hpp"

#include <string>

namespace kp {

enum class FlushWait {
    started, // write-back started; a later flush_tree of a directory above it waits for it
    done,    // on stable storage when the call returns
};

// write_file_bytes, then the flush; true only when the write and the flush succeeded.
bool write_file_bytes_flushed(const std::u16string& path, const Bytes& buffer, FlushWait wait);

} // namespace kp
