// kpack payload: making app.enc from the application archive, and undoing it.
#pragma once

#include <string>
#include <vector>

namespace kp::pack {

int run_payload_command(const std::vector<std::u16string>& arguments);

} // namespace kp::pack
