// One JSON object on one line, for the --json forms of kpack's inspect commands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kp::pack {

std::string json_string(std::string_view text);

class JsonObject {
  public:
    JsonObject& add(std::string_view key, std::string_view text);
    JsonObject& add(std::string_view key, const char* text) { return add(key, std::string_view(text)); }
    JsonObject& add(std::string_view key, std::uint64_t number);
    JsonObject& add(std::string_view key, bool value);
    JsonObject& add(std::string_view key, const std::vector<JsonObject>& array);
    std::string text() const { return "{" + fields_ + "}"; }

  private:
    JsonObject& add_raw(std::string_view key, const std::string& value);
    std::string fields_;
};

} // namespace kp::pack
