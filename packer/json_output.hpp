// One JSON object on one line, for the --json forms of kpack's inspect commands. Fields keep the
// order in which they are added.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>

namespace kp::pack {

using Json = nlohmann::ordered_json;

// Text that is not valid UTF-8 (a POSIX file name may be anything) is printed with U+FFFD in
// place of the bad bytes rather than failing the report.
inline void print_json(const Json& object) {
    std::printf("%s\n", object.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
}

} // namespace kp::pack
