#include "json_text.hpp"

#include <cstdio>

namespace kp::pack {

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

JsonObject& JsonObject::add_raw(std::string_view key, const std::string& value) {
    if (!fields_.empty())
        fields_ += ",";
    fields_ += json_string(key) + ":" + value;
    return *this;
}

JsonObject& JsonObject::add(std::string_view key, std::string_view text) {
    return add_raw(key, json_string(text));
}

JsonObject& JsonObject::add(std::string_view key, std::uint64_t number) {
    return add_raw(key, std::to_string(number));
}

JsonObject& JsonObject::add(std::string_view key, bool value) {
    return add_raw(key, value ? "true" : "false");
}

JsonObject& JsonObject::add(std::string_view key, const std::vector<JsonObject>& array) {
    std::string list;
    for (const JsonObject& item : array)
        list += (list.empty() ? "" : ",") + item.text();
    return add_raw(key, "[" + list + "]");
}

} // namespace kp::pack
