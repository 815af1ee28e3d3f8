// What kpack asks of a tool package beyond the launcher's entry acceptance, so that the set it
// writes or inspects unpacks the same on Windows and counts as current once unpacked:
//   - every name passes the launcher's acceptance (entry_name_problem);
//   - every name is one Windows can create (no < > " | ? * /, control characters, empty
//     components, or a component that ends in a dot or a space);
//   - no two names differ only in letter case (on Windows the later replaces the earlier);
//   - each entry's folder exists once the earlier entries are unpacked, or lies right under one
//     that does: the launcher creates one folder level per entry;
//   - onnxruntime.dll is at the root (the launcher's completeness probe).
// kpack tools append applies it to the files it collects, kpack tools inspect to the entries.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kp::pack {

class ToolSetRules {
  public:
    // The problem with the next entry's name in stream order; empty when it passes.
    std::string add(const std::u16string& name);
    // The problem with the whole set once every name has been added; empty when it passes.
    std::string finish() const;

  private:
    struct Item {
        std::u16string path;
        bool is_file;
    };
    std::string case_conflict(const std::u16string& path, bool is_file);

    std::unordered_set<std::u16string> folders_{u""};
    std::unordered_map<std::u16string, std::vector<Item>> items_by_fold_;
    bool has_probe_ = false;
};

// One short phrase for a name the launcher refuses; empty when it accepts it.
std::string launcher_refusal(std::u16string_view name);

} // namespace kp::pack
