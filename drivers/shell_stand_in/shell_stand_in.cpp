// A test-only in-process server for CLSID_Shell, registered in a test Wine prefix in place of the
// shell's automation object. NameSpace opens a .zip file as an archive folder and a directory as
// a file-system folder; an archive's Items copied into a directory folder are extracted there.
// Each NameSpace, Items and CopyHere call is logged with its variant types and values to the file
// named by KP_SHELL_LOG, and the objects still alive when the DLL is unloaded are reported.
// KP_SHELL_NO_ZIP makes NameSpace of a zip file yield nothing, as a shell without zip folders does.
// KP_SHELL_COPY picks how CopyHere departs from a faithful copy, as Windows' own may:
//   "thread": it returns at once and copies on a thread of its own, one entry at a time with a
//             pause before each, and the copy dies with the process (Windows' CopyHere may do so);
//   "skip:NAME": it passes over the entry NAME in silence and still succeeds (Windows' shell does
//             so for an item it cannot write, such as a file another program holds open).
#include "zip_extract.hpp"

#include <objbase.h>
#include <oleauto.h>
#include <shldisp.h>
#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>
#include <type_traits>

namespace kp::stand_in {

namespace {

LONG live_objects = 0;
LONG server_locks = 0;

// Private interface identifier by which CopyHere recognises a collection of this server's own
// (the archive's items, the only FolderItems it makes).
constexpr GUID IID_ARCHIVE_ITEMS = {
    0x5f0c3a1e, 0x7d42, 0x4b9a, {0x9e, 0x31, 0x2c, 0x8d, 0x6b, 0x14, 0xa7, 0x53}};

std::string utf8(const std::wstring& text) {
    const std::u8string bytes = std::filesystem::path(text).u8string();
    return std::string(bytes.begin(), bytes.end());
}

std::wstring environment(const wchar_t* name) {
    wchar_t value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

// Appends one line to the log (a reader sees it at once, even if the process is killed next);
// Win32 calls only, so that it also works while the DLL is being unloaded.
void log_line(const std::string& line) {
    const std::wstring path = environment(L"KP_SHELL_LOG");
    if (path.empty())
        return;
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

// "vt=8 C:\path", "vt=3 20", or just "vt=N" for other types.
std::string describe(const VARIANT& value) {
    std::string text = "vt=" + std::to_string(value.vt);
    if (value.vt == VT_BSTR && value.bstrVal != nullptr)
        text += " " + utf8(std::wstring(value.bstrVal, SysStringLen(value.bstrVal)));
    else if (value.vt == VT_I4)
        text += " " + std::to_string(value.lVal);
    return text;
}

// Reference counting and QueryInterface for IUnknown, IDispatch (when INTERFACE is a dispatch
// interface) and INTERFACE itself; each object counts as live until its last Release.
template <typename Interface> class Object : public Interface {
  public:
    Object() { InterlockedIncrement(&live_objects); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    virtual ~Object() { InterlockedDecrement(&live_objects); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (!(iid == IID_IUnknown || iid == __uuidof(Interface) ||
              (std::is_base_of_v<IDispatch, Interface> && iid == IID_IDispatch) ||
              (std::is_same_v<Interface, FolderItems> && iid == IID_ARCHIVE_ITEMS)))
            return E_NOINTERFACE;
        *out = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&references_));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

  private:
    LONG references_ = 1;
};

// A method the launcher never calls.
#define NOT_IMPLEMENTED(name, ...)                                                                           \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override {                                                   \
        return E_NOTIMPL;                                                                                    \
    }

// IDispatch without type information (the launcher calls the interfaces directly), and the two
// properties that FolderItems, Folder and IShellDispatch all begin with.
template <typename Interface> class Dispatch : public Object<Interface> {
  public:
    NOT_IMPLEMENTED(GetTypeInfoCount, UINT*)
    NOT_IMPLEMENTED(GetTypeInfo, UINT, LCID, ITypeInfo**)
    NOT_IMPLEMENTED(GetIDsOfNames, REFIID, LPOLESTR*, UINT, LCID, DISPID*)
    NOT_IMPLEMENTED(Invoke, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
    NOT_IMPLEMENTED(get_Application, IDispatch**)
    NOT_IMPLEMENTED(get_Parent, IDispatch**)
};

// The root items of an archive; it only needs to lead CopyHere back to the archive.
class ArchiveItems : public Dispatch<FolderItems> {
  public:
    explicit ArchiveItems(std::wstring path) : archive(std::move(path)) {}

    NOT_IMPLEMENTED(get_Count, LONG*)
    NOT_IMPLEMENTED(Item, VARIANT, FolderItem**)
    NOT_IMPLEMENTED(_NewEnum, IUnknown**)

    const std::wstring archive;
};

// A copy on a thread of its own, pausing 400 ms before each entry, which counts as a live object
// until it ends. The first pins the DLL, so that it is never unloaded under a copy; if the process
// ends first, so does the copy.
struct BackgroundCopy {
    std::wstring archive, destination;
};

DWORD WINAPI run_background_copy(void* parameter) {
    const std::unique_ptr<BackgroundCopy> copy(static_cast<BackgroundCopy*>(parameter));
    int count = 0;
    extract_zip(copy->archive, copy->destination, count, {{}, 400});
    InterlockedDecrement(&live_objects);
    return 0;
}

bool start_background_copy(const std::wstring& archive, const std::wstring& destination) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&live_objects), &self))
        return false;
    InterlockedIncrement(&live_objects);
    auto* copy = new BackgroundCopy{archive, destination};
    if (HANDLE thread = CreateThread(nullptr, 0, run_background_copy, copy, 0, nullptr))
        return CloseHandle(thread);
    InterlockedDecrement(&live_objects);
    delete copy;
    return false;
}

// The copy as KP_SHELL_COPY asks for it; what is logged after "->".
std::string copy_archive(const std::wstring& archive, const std::wstring& destination, bool& failed) {
    const std::wstring manner = environment(L"KP_SHELL_COPY");
    failed = false;
    if (manner == L"thread") {
        failed = !start_background_copy(archive, destination);
        return failed ? "no thread" : "copying on a thread of its own";
    }
    CopyManner copy;
    if (manner.rfind(L"skip:", 0) == 0)
        copy.left_out = utf8(manner.substr(5));
    int count = 0;
    const std::string problem = extract_zip(archive, destination, count, copy);
    failed = !problem.empty();
    return (problem.empty() ? "" : problem + " after ") + std::to_string(count) + " entries";
}

class ShellFolder : public Dispatch<Folder> {
  public:
    ShellFolder(std::wstring path, bool archive) : path_(std::move(path)), archive_(archive) {}

    HRESULT STDMETHODCALLTYPE Items(FolderItems** out) override {
        if (out == nullptr)
            return E_POINTER;
        *out = archive_ ? new ArchiveItems(path_) : nullptr;
        log_line(std::string("Items ") + (archive_ ? "archive -> collection" : "folder -> none"));
        return *out != nullptr ? S_OK : E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE CopyHere(VARIANT item, VARIANT options) override {
        // The archive behind a dispatch pointer of ours (empty for any other); the reference taken
        // is released at once.
        std::wstring archive;
        void* own = nullptr;
        if (item.vt == VT_DISPATCH && item.pdispVal != nullptr &&
            SUCCEEDED(item.pdispVal->QueryInterface(IID_ARCHIVE_ITEMS, &own)) && own != nullptr) {
            archive = static_cast<ArchiveItems*>(own)->archive;
            static_cast<ArchiveItems*>(own)->Release();
        }
        bool failed = true;
        std::string outcome;
        if (archive_)
            outcome = "not a file-system folder after 0 entries";
        else if (archive.empty())
            outcome = "not an archive's items after 0 entries";
        else
            outcome = copy_archive(archive, path_, failed);
        log_line("CopyHere " + describe(item) + " " + describe(options) + " -> " + outcome);
        return failed ? E_FAIL : S_OK;
    }

    NOT_IMPLEMENTED(get_Title, BSTR*)
    NOT_IMPLEMENTED(get_ParentFolder, Folder**)
    NOT_IMPLEMENTED(ParseName, BSTR, FolderItem**)
    NOT_IMPLEMENTED(NewFolder, BSTR, VARIANT)
    NOT_IMPLEMENTED(MoveHere, VARIANT, VARIANT)
    NOT_IMPLEMENTED(GetDetailsOf, VARIANT, int, BSTR*)

  private:
    std::wstring path_;
    bool archive_;
};

class ShellDispatch : public Dispatch<IShellDispatch> {
  public:
    HRESULT STDMETHODCALLTYPE NameSpace(VARIANT folder, Folder** out) override {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        bool directory = false, archive = false;
        if (folder.vt == VT_BSTR && folder.bstrVal != nullptr) {
            const std::wstring path(folder.bstrVal, SysStringLen(folder.bstrVal));
            const DWORD attributes = GetFileAttributesW(path.c_str());
            directory = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            archive = attributes != INVALID_FILE_ATTRIBUTES && !directory &&
                      _wcsicmp(std::filesystem::path(path).extension().c_str(), L".zip") == 0 &&
                      environment(L"KP_SHELL_NO_ZIP").empty();
            if (directory || archive)
                *out = new ShellFolder(path, archive);
        }
        const char* kind = archive ? "archive" : directory ? "folder" : "none";
        log_line("NameSpace " + describe(folder) + " -> " + kind);
        return *out != nullptr ? S_OK : S_FALSE;
    }

    NOT_IMPLEMENTED(BrowseForFolder, LONG, BSTR, LONG, VARIANT, Folder**)
    NOT_IMPLEMENTED(Windows, IDispatch**)
    NOT_IMPLEMENTED(Open, VARIANT)
    NOT_IMPLEMENTED(Explore, VARIANT)
    NOT_IMPLEMENTED(MinimizeAll)
    NOT_IMPLEMENTED(UndoMinimizeALL)
    NOT_IMPLEMENTED(FileRun)
    NOT_IMPLEMENTED(CascadeWindows)
    NOT_IMPLEMENTED(TileVertically)
    NOT_IMPLEMENTED(TileHorizontally)
    NOT_IMPLEMENTED(ShutdownWindows)
    NOT_IMPLEMENTED(Suspend)
    NOT_IMPLEMENTED(EjectPC)
    NOT_IMPLEMENTED(SetTime)
    NOT_IMPLEMENTED(TrayProperties)
    NOT_IMPLEMENTED(Help)
    NOT_IMPLEMENTED(FindFiles)
    NOT_IMPLEMENTED(FindComputer)
    NOT_IMPLEMENTED(RefreshMenu)
    NOT_IMPLEMENTED(ControlPanelItem, BSTR)
};

class ClassFactory : public Object<IClassFactory> {
  public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        auto* shell = new ShellDispatch;
        const HRESULT result = shell->QueryInterface(iid, out);
        shell->Release();
        log_line(std::string("CreateInstance stand-in ") +
                 (iid == IID_IShellDispatch ? "IShellDispatch" : "other") +
                 (SUCCEEDED(result) ? "" : " refused"));
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        InterlockedAdd(&server_locks, lock ? 1 : -1);
        return S_OK;
    }
};

} // namespace

} // namespace kp::stand_in

extern "C" {

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (clsid != CLSID_Shell)
        return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new kp::stand_in::ClassFactory;
    const HRESULT result = factory->QueryInterface(iid, out);
    factory->Release();
    return result;
}

HRESULT WINAPI DllCanUnloadNow() {
    return kp::stand_in::live_objects == 0 && kp::stand_in::server_locks == 0 ? S_OK : S_FALSE;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) {
        const LONG live = kp::stand_in::live_objects;
        kp::stand_in::log_line(live == 0 ? "all released" : "unreleased " + std::to_string(live));
    }
    return TRUE;
}
}
