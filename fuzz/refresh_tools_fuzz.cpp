// Fuzzes the launcher's tool refresh as it runs: refresh_tools on a fuzzed host image, over a
// file system held in memory and served through the test binding (no disk). The first input
// byte picks the slots' state before the run (empty, current, or one left by an interrupted
// rotation); the rest is the host image. The file system reads paths the way Windows does
// (up to a zero unit, either separator, trailing dots and spaces dropped, "." and ".." folded,
// case ignored), and the target traps when anything is created outside the install directory's
// three slots or under a device name, or when the live set after the run is neither a set that
// was there before nor the package's own verified content.
#include "common/text.hpp"
#include "platform/backend.hpp"
#include "support/fault_binding.hpp"
#include "tool_package_check.hpp"
#include "tools/tool_package_unpack.hpp"
#include "tools/tool_slot_rotation.hpp"

#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

namespace {

using kp::Bytes;

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

// ---- Paths as Windows reads them.

// The harness's own path reading is plain loops, kept out of the coverage feedback (it is not
// the code under test, and instrumented it would cost more than the refresh itself).
#define KP_HARNESS __attribute__((no_sanitize("coverage")))

KP_HARNESS char16_t upper(char16_t unit) {
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 32) : unit;
}

// Whether the first length characters of name spell word, and nothing more.
KP_HARNESS bool spells(const char* name, std::size_t length, const char* word) {
    std::size_t i = 0;
    while (i < length && word[i] != '\0' && name[i] == word[i])
        ++i;
    return i == length && word[i] == '\0';
}

// A component up to its first dot, trailing spaces dropped, against the device names.
KP_HARNESS bool is_device(const char16_t* part, std::size_t size) {
    std::size_t length = 0;
    while (length < size && part[length] != u'.')
        ++length;
    while (length > 0 && part[length - 1] == u' ')
        --length;
    if (length < 3 || length > 7)
        return false;
    char name[8] = {};
    for (std::size_t i = 0; i < length; ++i) {
        const char16_t unit = upper(part[i]);
        if (length == 4 && i == 3 && (unit == u'\u00B9' || unit == u'\u00B2' || unit == u'\u00B3'))
            name[i] = '1';
        else
            name[i] = unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    if (length == 4 && (spells(name, 3, "COM") || spells(name, 3, "LPT")))
        return name[3] >= '1' && name[3] <= '9';
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (spells(name, length, device))
            return true;
    return false;
}

// Keys are narrow strings (each unit in UTF-8 form, lone surrogates too): '\\' stays one byte.
using Key = std::string;

// Writes the unit in UTF-8 form at out; gives the bytes written (at most three).
KP_HARNESS std::size_t put_unit(char* out, char16_t unit) {
    if (unit < 0x80) {
        out[0] = static_cast<char>(unit);
        return 1;
    }
    if (unit < 0x800) {
        out[0] = static_cast<char>(0xC0 | (unit >> 6));
        out[1] = static_cast<char>(0x80 | (unit & 0x3F));
        return 2;
    }
    out[0] = static_cast<char>(0xE0 | (unit >> 12));
    out[1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (unit & 0x3F));
    return 3;
}

// The key of a path: its folded components, each after a '\\'; `device` tells whether one
// names a device. Written in place (a separator and at most three bytes a unit) rather than
// appended byte by byte: the string's own code is instrumented, and was the harness's largest cost.
KP_HARNESS Key key_of(std::u16string_view path, bool& device) {
    device = false;
    const char16_t* units = path.data();
    std::size_t size = 0;
    while (size < path.size() && units[size] != u'\0')
        ++size;
    Key key(4 * size, '\0');
    char* out = key.data();
    std::size_t used = 0;
    for (std::size_t start = 0; start <= size;) {
        std::size_t end = start;
        while (end < size && units[end] != u'\\' && units[end] != u'/')
            ++end;
        std::size_t length = end - start;
        const char16_t* part = units + start;
        start = end + 1;
        device = device || is_device(part, length);
        if (length == 2 && part[0] == u'.' && part[1] == u'.') { // drops the last component
            while (used > 0 && out[used - 1] != '\\')
                --used;
            used -= used > 0 ? 1 : 0;
            continue;
        }
        while (length > 0 && (part[length - 1] == u'.' || part[length - 1] == u' '))
            --length;
        if (length == 0)
            continue;
        out[used++] = '\\';
        for (std::size_t i = 0; i < length; ++i)
            used += put_unit(out + used, upper(part[i]));
    }
    key.resize(used);
    return key;
}

Key key_of(std::u16string_view path) {
    bool device = false;
    return key_of(path, device);
}

Key parent_of(const Key& key) {
    return key.substr(0, key.rfind('\\'));
}

bool is_at_or_under(const Key& key, const Key& root) {
    return key.starts_with(root) && (key.size() == root.size() || key[root.size()] == '\\');
}

const std::u16string HOST = u"\\fuzz\\host.exe";
const std::u16string INSTALL = u"\\fuzz\\install";
const Key SLOTS[] = {key_of(INSTALL + u"\\ai"), key_of(INSTALL + u"\\ai.new"), key_of(INSTALL + u"\\ai.old")};
const Key& LIVE = SLOTS[0];

// Every path the refresh makes must lie in a slot, under no device name.
Key made_key(const std::u16string& path) {
    bool device = false;
    const Key key = key_of(path, device);
    require(!device);
    bool inside = false;
    for (const Key& slot : SLOTS)
        inside = inside || is_at_or_under(key, slot);
    require(inside);
    return key;
}

// ---- The file system in memory: key -> node; directories have no data.

struct Node {
    bool directory = false;
    Bytes data;
};
std::map<Key, Node> nodes;

struct OpenFile {
    Key key; // empty: the host image
    std::uint64_t position = 0;
};
std::map<std::uintptr_t, OpenFile> open_files;
std::uintptr_t next_handle = 1;
const std::uint8_t* host_data = nullptr;
std::uint64_t host_size = 0;

bool is_directory(const Key& key) {
    const auto it = nodes.find(key);
    return key.empty() || (it != nodes.end() && it->second.directory);
}

kp::FileHandle open_node(const Key& key) {
    open_files[next_handle] = {key, 0};
    return kp::FileHandle(next_handle++);
}

template <typename Visit> void for_each_under(const Key& root, Visit visit) {
    for (auto it = nodes.lower_bound(root); it != nodes.end() && it->first.starts_with(root); ++it)
        if (is_at_or_under(it->first, root))
            visit(it);
}

void erase_tree(const Key& root) {
    std::vector<Key> doomed;
    for_each_under(root, [&](auto it) { doomed.push_back(it->first); });
    for (const Key& key : doomed)
        nodes.erase(key);
}

void serve_file_system() {
    using namespace kp;
    fault::open_file_for_streaming = [](const std::u16string& path) {
        return path == HOST ? open_node({}) : FileHandle{};
    };
    fault::open_file_for_reading = [](const std::u16string& path) {
        const Key key = key_of(path);
        const auto it = nodes.find(key);
        return it != nodes.end() && !it->second.directory ? open_node(key) : FileHandle{};
    };
    fault::create_file_for_writing = [](const std::u16string& path) {
        const Key key = made_key(path);
        if (!is_directory(parent_of(key)) || is_directory(key))
            return FileHandle{};
        nodes[key] = Node{};
        return open_node(key);
    };
    fault::file_size = [](const FileHandle& file, std::uint64_t& size) {
        const OpenFile& open = open_files.at(file.raw());
        size = open.key.empty() ? host_size : nodes[open.key].data.size();
        return true;
    };
    fault::seek_file = [](const FileHandle& file, std::uint64_t offset) {
        open_files.at(file.raw()).position = offset;
        return true;
    };
    fault::read_file = [](const FileHandle& file, void* buffer, std::uint32_t size, std::uint32_t& done) {
        OpenFile& open = open_files.at(file.raw());
        const std::uint8_t* data = open.key.empty() ? host_data : nodes[open.key].data.data();
        const std::uint64_t length = open.key.empty() ? host_size : nodes[open.key].data.size();
        done = open.position < length
                   ? static_cast<std::uint32_t>(std::min<std::uint64_t>(length - open.position, size))
                   : 0;
        if (done != 0)
            std::memcpy(buffer, data + open.position, done);
        open.position += done;
        return true;
    };
    fault::write_file = [](const FileHandle& file, const void* buffer, std::uint32_t size,
                           std::uint32_t& done) {
        OpenFile& open = open_files.at(file.raw());
        Bytes& data = nodes[open.key].data;
        data.resize(std::max<std::uint64_t>(data.size(), open.position + size));
        std::memcpy(data.data() + open.position, buffer, size);
        open.position += size;
        done = size;
        return true;
    };
    fault::close_handle = [](HandleKind kind, std::uintptr_t raw) {
        if (kind == HandleKind::file)
            open_files.erase(raw);
        else
            backend::close_handle(kind, raw);
    };
    fault::path_exists = [](const std::u16string& path) { return nodes.contains(key_of(path)); };
    fault::create_directory = [](const std::u16string& path) {
        const Key key = key_of(path);
        if (key != key_of(INSTALL))
            made_key(path);
        if (nodes.contains(key) || !is_directory(parent_of(key)))
            return false;
        nodes[key] = Node{true, {}};
        return true;
    };
    fault::delete_file = [](const std::u16string& path) {
        const auto it = nodes.find(key_of(path));
        if (it == nodes.end() || it->second.directory)
            return false;
        nodes.erase(it);
        return true;
    };
    fault::move_path = [](const std::u16string& from_path, const std::u16string& to_path) {
        const Key from = key_of(from_path), to = made_key(to_path);
        if (!nodes.contains(from) || nodes.contains(to) || !is_directory(parent_of(to)) ||
            is_at_or_under(to, from))
            return MoveResult::refused;
        std::vector<std::pair<Key, Node>> moved;
        for_each_under(from,
                       [&](auto it) { moved.emplace_back(to + it->first.substr(from.size()), it->second); });
        erase_tree(from);
        nodes.insert(moved.begin(), moved.end());
        return MoveResult::moved;
    };
    fault::shell_delete = [](const std::u16string& path) { erase_tree(key_of(path)); };
    fault::free_bytes_available = [](const std::u16string&, std::uint64_t& bytes) {
        bytes = std::uint64_t{1} << 40;
        return true;
    };
    fault::start_flush = [](const FileHandle&, std::uint64_t) { return true; };
    fault::flush_file = [](const FileHandle&) { return true; };
    fault::flush_directory = [](const std::u16string&) { return true; };
    fault::flush_tree = [](const std::u16string&) { return true; };
    fault::open_progress_window = [] { return WindowHandle{0}; };
    fault::set_progress_permille = [](std::uint32_t permille) { require(permille <= 1000); };
    fault::pump_messages = [] {};
    fault::close_progress_window = [](WindowHandle) {};
}

// ---- Tool sets: key relative to the slot -> content.

using ToolSet = std::map<Key, Bytes>;

std::optional<ToolSet> set_at(const Key& slot) {
    if (!nodes.contains(slot))
        return std::nullopt;
    ToolSet set;
    for_each_under(slot, [&](auto it) {
        if (!it->second.directory)
            set[it->first.substr(slot.size())] = it->second.data;
    });
    return set;
}

void put_set(const Key& slot, const ToolSet& set) {
    nodes[slot] = Node{true, {}};
    for (const auto& [relative, data] : set) {
        for (std::size_t at = relative.find('\\', 1); at != Key::npos; at = relative.find('\\', at + 1))
            nodes[slot + relative.substr(0, at)] = Node{true, {}};
        nodes[slot + relative] = Node{false, data};
    }
}

const Key MARKER = key_of(u"\\.kp_ai");
const Key PROBE = key_of(u"\\onnxruntime.dll");

// The package's content as kpack's checker reads it, when it verifies.
std::optional<ToolSet> verified_content(const std::uint8_t* data, std::uint64_t size) {
    const kp::FileHandle host = open_node({});
    const auto trailer = kp::read_tool_package_trailer(host, size);
    if (!trailer)
        return std::nullopt;
    ToolSet set;
    const auto check = kp::pack::check_tool_package(
        host, *trailer, [&](const kp::ToolPackageEntry& entry, std::uint64_t offset) {
            const std::uint8_t* start = data + offset + 12 + entry.name_size;
            set[key_of(u"\\" + entry.name)] = Bytes(start, start + entry.data_size);
        });
    if (!check.verified)
        return std::nullopt;
    set[MARKER] = kp::utf16le_bytes(trailer->package_id);
    return set;
}

const ToolSet OLD_SET = {{PROBE, {1, 2, 3}},
                         {key_of(u"\\models\\old.bin"), {4}},
                         {MARKER, kp::utf16le_bytes(u"0123456789abcdef0123456789abcdef")}};
const ToolSet PARTIAL = {{key_of(u"\\part.bin"), {5}}};

// Everything an input puts in the file system goes when it is done, so that an input frees what
// it allocated: libFuzzer runs an input again, looking for a leak, whenever it did not.
struct FileSystemEmptiedAfterward {
    ~FileSystemEmptiedAfterward() {
        nodes.clear();
        open_files.clear();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (serve_file_system(), true);
    (void)ready;
    if (size < 1)
        return 0;
    host_data = data + 1;
    host_size = size - 1;
    const FileSystemEmptiedAfterward emptied;
    nodes[key_of(u"\\fuzz")] = Node{true, {}};
    nodes[key_of(INSTALL)] = Node{true, {}};

    const std::optional<ToolSet> package = verified_content(host_data, host_size);
    ToolSet current = package.value_or(OLD_SET);
    if (!package) // a current set of a package that does not verify: its marker, the old files
        current[MARKER] = Bytes(64, '0');
    switch (data[0] % 5) {
    case 0:
        break; // nothing yet
    case 1:
        put_set(SLOTS[0], current);
        break; // current
    case 2:
        put_set(SLOTS[2], OLD_SET);
        put_set(SLOTS[1], PARTIAL);
        break; // stopped after moving aside
    case 3:
        put_set(SLOTS[0], current);
        put_set(SLOTS[2], OLD_SET);
        break; // stopped after publishing
    case 4:
        put_set(SLOTS[0], OLD_SET);
        put_set(SLOTS[1], PARTIAL);
        break; // staging left over
    }
    const std::optional<ToolSet> live_before = set_at(SLOTS[0]), aside_before = set_at(SLOTS[2]);

    kp::refresh_tools(HOST, INSTALL);

    require(open_files.empty());
    const std::optional<ToolSet> live = set_at(LIVE);
    if (!live) { // only where no set was live, with the one aside (if any) still there
        require(!live_before && set_at(SLOTS[2]) == aside_before);
        return 0;
    }
    require(live == live_before || live == aside_before || live == package);
    return 0;
}
