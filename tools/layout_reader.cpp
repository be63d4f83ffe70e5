#include "layout_reader.h"

#include <windows.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

namespace orv_probe {

namespace {

struct LoadedTable {
    UiWindowTable table;
    std::vector<UiRow> rows;
    std::vector<std::unique_ptr<std::wstring>> texts;
};

// The program is mapped as an image without its imports or start-up; only
// its exported function runs, and it returns an address. The table's own
// pointers (its rows, each row's text) are the program's absolute
// addresses: where the loader did not relocate the image (Wine leaves an
// executable mapped into another process at its link-time addresses), they
// are moved by the distance between the image's preferred and actual base.
class ImageView {
  public:
    explicit ImageView(HMODULE module) {
        const BYTE *base = reinterpret_cast<const BYTE *>(module);
        const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
        const IMAGE_NT_HEADERS *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
        begin_ = reinterpret_cast<ULONG_PTR>(base);
        end_ = begin_ + nt->OptionalHeader.SizeOfImage;
        delta_ = begin_ - static_cast<ULONG_PTR>(nt->OptionalHeader.ImageBase);
    }
    // The address inside the mapped image a pointer of the table stands
    // for, or null when it points outside the image either way.
    template <typename T> const T *At(const T *pointer, size_t bytes = sizeof(T)) const {
        ULONG_PTR p = reinterpret_cast<ULONG_PTR>(pointer);
        if (Inside(p, bytes)) return pointer;
        if (Inside(p + delta_, bytes)) return reinterpret_cast<const T *>(p + delta_);
        return nullptr;
    }

  private:
    bool Inside(ULONG_PTR p, size_t bytes) const { return p >= begin_ && p + bytes <= end_ && p + bytes >= p; }
    ULONG_PTR begin_ = 0, end_ = 0, delta_ = 0;
};

bool Load(const std::wstring &path, LoadedTable *out, std::wstring *error) {
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!module) {
        *error = L"cannot map " + path + L" (" + std::to_wstring(GetLastError()) + L")";
        return false;
    }
    auto function = reinterpret_cast<UiLayoutTableFunction>(
        reinterpret_cast<void *>(GetProcAddress(module, UI_LAYOUT_TABLE_EXPORT)));
    if (!function) {
        *error = path + L" exports no layout table";
        FreeLibrary(module);
        return false;
    }
    ImageView image(module);
    const UiWindowTable *table = image.At(function());
    const UiRow *rows = table ? image.At(table->rows, sizeof(UiRow) * (table->row_count > 0 ? table->row_count : 1)) : nullptr;
    bool ok = table && rows && table->row_count > 0;
    if (ok) {
        out->table = *table;
        out->rows.assign(rows, rows + table->row_count);
        for (UiRow &row : out->rows) {
            if (!row.text) continue;
            const wchar_t *text = image.At(row.text);
            size_t n = 0;
            while (text && image.At(text + n) && text[n]) ++n;
            if (!text || !image.At(text + n)) {
                ok = false;
                break;
            }
            out->texts.push_back(std::make_unique<std::wstring>(text, n));
            row.text = out->texts.back()->c_str();
        }
        out->table.rows = out->rows.data();
    }
    if (!ok) *error = path + L": its layout table points outside the program";
    FreeLibrary(module);
    return ok;
}

}  // namespace

const UiWindowTable *ProgramLayoutTable(const std::wstring &path, std::wstring *error) {
    static std::map<std::wstring, std::unique_ptr<LoadedTable>> loaded;
    auto found = loaded.find(path);
    if (found != loaded.end()) return &found->second->table;
    auto table = std::make_unique<LoadedTable>();
    std::wstring why;
    if (!Load(path, table.get(), &why)) {
        if (error) *error = why;
        return nullptr;
    }
    return &loaded.emplace(path, std::move(table)).first->second->table;
}

const UiWindowTable &RequireProgramLayoutTable(const std::wstring &path) {
    std::wstring error;
    const UiWindowTable *table = ProgramLayoutTable(path, &error);
    if (!table) {
        std::string narrow;
        for (wchar_t c : error) narrow += c < 128 ? (char)c : '?';
        throw std::runtime_error(narrow);
    }
    return *table;
}

}  // namespace orv_probe
