// Unpacking the application archive on Windows, through the shell's automation object.
#include "platform/backend.hpp"
#include "win32_util.hpp"

#include <objbase.h>
#include <oleauto.h>
#include <shldisp.h>

namespace kp::win32 {

namespace {

// FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI: no progress window, files
// replaced and folders made without asking, and no error dialog for a file the copy cannot place
// (it is skipped, and the completeness check refuses the stamp). Zip folders may ignore some of
// these flags; passing them is all the launcher can do.
constexpr LONG COPY_OPTIONS = 0x614;

// One COM reference; release() may be called early to keep a fixed release order, the
// destructor covers every other path.
template <typename Interface> class ComReference {
  public:
    ComReference() = default;
    ComReference(const ComReference&) = delete;
    ComReference& operator=(const ComReference&) = delete;
    ~ComReference() { release(); }

    Interface** out() { return &pointer_; }
    Interface* get() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }
    void release() {
        if (pointer_ != nullptr)
            pointer_->Release();
        pointer_ = nullptr;
    }

  private:
    Interface* pointer_ = nullptr;
};

// A VT_BSTR variant holding a new copy of a path; clear() frees the string.
class PathVariant {
  public:
    explicit PathVariant(const std::u16string& path) {
        VariantInit(&variant_);
        variant_.vt = VT_BSTR;
        variant_.bstrVal = SysAllocString(wide(path));
    }
    PathVariant(const PathVariant&) = delete;
    PathVariant& operator=(const PathVariant&) = delete;
    ~PathVariant() { clear(); }

    bool holds_string() const { return variant_.vt == VT_BSTR && variant_.bstrVal != nullptr; }
    const VARIANT& get() const { return variant_; }
    void clear() { VariantClear(&variant_); }

  private:
    VARIANT variant_;
};

// The shell's folder for a path; null when the shell cannot open it. Its result code is
// ignored: only the object counts. A path whose copy could not be allocated is not asked for.
void open_folder(IShellDispatch* shell, const PathVariant& path, ComReference<Folder>& folder) {
    if (path.holds_string())
        shell->NameSpace(path.get(), folder.out());
}

// Asks the destination folder to copy the archive's root items; true when the request was made.
bool request_copy(Folder* archive, Folder* destination) {
    ComReference<FolderItems> items;
    archive->Items(items.out());
    if (!items)
        return false;

    VARIANT items_variant; // borrows the collection: no reference is added for it
    VariantInit(&items_variant);
    items_variant.vt = VT_DISPATCH;
    items_variant.pdispVal = items.get();

    VARIANT options;
    VariantInit(&options);
    options.vt = VT_I4;
    options.lVal = COPY_OPTIONS;

    destination->CopyHere(items_variant, options);
    items.release();
    return true;
}

} // namespace

bool shell_extract_zip(const std::u16string& zip_path, const std::u16string& destination) {
    ComReference<IShellDispatch> shell;
    const HRESULT created = CoCreateInstance(CLSID_Shell, nullptr, CLSCTX_INPROC_SERVER, IID_IShellDispatch,
                                             reinterpret_cast<void**>(shell.out()));
    if (FAILED(created) || !shell)
        return false;

    // Both folders are always asked for, even when the first is missing.
    PathVariant archive_path(zip_path);
    ComReference<Folder> archive;
    open_folder(shell.get(), archive_path, archive);
    PathVariant destination_path(destination);
    ComReference<Folder> target;
    open_folder(shell.get(), destination_path, target);

    const bool requested = archive && target && request_copy(archive.get(), target.get());

    archive.release();
    target.release();
    archive_path.clear();
    destination_path.clear();
    shell.release();
    return requested;
}

} // namespace kp::win32
