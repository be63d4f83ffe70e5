#include "layout_reader.h"

#include <windows.h>

#include <cstddef>
#include <cstring>

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

// The program's file read as data: its export names a pointer to the table,
// and every address in the table is the program's link-time address, found
// in the file through the section headers. Nothing of the program runs, and
// an address outside the image's sections (or past the file's end) is
// refused.
class ImageFile {
  public:
    bool Read(const std::wstring &path, std::wstring *error) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            *error = L"cannot open " + path + L" (" + std::to_wstring(GetLastError()) + L")";
            return false;
        }
        LARGE_INTEGER size{};
        bool ok = GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (1LL << 30);
        if (ok) {
            bytes_.resize((size_t)size.QuadPart);
            DWORD got = 0;
            ok = ReadFile(file, bytes_.data(), (DWORD)bytes_.size(), &got, nullptr) &&
                 got == bytes_.size();
        }
        CloseHandle(file);
        if (!ok || !Headers()) {
            *error = path + L" is not a program this reader knows";
            return false;
        }
        return true;
    }
    // The bytes at a relative address, or null when [rva, rva + count) is
    // not all inside one section's data in the file.
    const BYTE *AtRva(ULONGLONG rva, size_t count) const {
        for (const IMAGE_SECTION_HEADER *s = sections_; s < sections_ + section_count_; ++s) {
            ULONGLONG size = s->SizeOfRawData;
            if (s->Misc.VirtualSize && s->Misc.VirtualSize < size) size = s->Misc.VirtualSize;
            if (rva < s->VirtualAddress || rva - s->VirtualAddress > size ||
                count > size - (rva - s->VirtualAddress))
                continue;
            ULONGLONG offset = s->PointerToRawData + (rva - s->VirtualAddress);
            if (offset > bytes_.size() || count > bytes_.size() - offset) return nullptr;
            return bytes_.data() + offset;
        }
        return nullptr;
    }
    const BYTE *AtAddress(const void *address, size_t count) const {
        ULONGLONG va = reinterpret_cast<ULONG_PTR>(address);
        return va >= base_ ? AtRva(va - base_, count) : nullptr;
    }
    // The address an export of that name holds data at (0: none).
    ULONGLONG ExportRva(const char *name) const {
        const IMAGE_DATA_DIRECTORY &dir = directories_[IMAGE_DIRECTORY_ENTRY_EXPORT];
        auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(
            AtRva(dir.VirtualAddress, sizeof(IMAGE_EXPORT_DIRECTORY)));
        if (!dir.VirtualAddress || !exports) return 0;
        auto names = reinterpret_cast<const DWORD *>(
            AtRva(exports->AddressOfNames, exports->NumberOfNames * sizeof(DWORD)));
        auto ordinals = reinterpret_cast<const WORD *>(
            AtRva(exports->AddressOfNameOrdinals, exports->NumberOfNames * sizeof(WORD)));
        auto places = reinterpret_cast<const DWORD *>(
            AtRva(exports->AddressOfFunctions, exports->NumberOfFunctions * sizeof(DWORD)));
        if (!names || !ordinals || !places) return 0;
        const size_t length = strlen(name) + 1;
        for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
            const BYTE *text = AtRva(names[i], length);
            if (!text || memcmp(text, name, length) != 0) continue;
            if (ordinals[i] >= exports->NumberOfFunctions) return 0;
            ULONGLONG rva = places[ordinals[i]];
            // One inside the export directory forwards to another program.
            if (rva >= dir.VirtualAddress && rva < (ULONGLONG)dir.VirtualAddress + dir.Size)
                return 0;
            return rva;
        }
        return 0;
    }

  private:
    bool Headers() {
        auto dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(Raw(0, sizeof(IMAGE_DOS_HEADER)));
        if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0) return false;
        auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(
            Raw((size_t)dos->e_lfanew, sizeof(IMAGE_NT_HEADERS64)));
        if (!nt || nt->Signature != IMAGE_NT_SIGNATURE ||
            nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
            nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT)
            return false;
        base_ = nt->OptionalHeader.ImageBase;
        directories_ = nt->OptionalHeader.DataDirectory;
        section_count_ = nt->FileHeader.NumberOfSections;
        size_t first = (size_t)dos->e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                       nt->FileHeader.SizeOfOptionalHeader;
        sections_ = reinterpret_cast<const IMAGE_SECTION_HEADER *>(
            Raw(first, section_count_ * sizeof(IMAGE_SECTION_HEADER)));
        return sections_ != nullptr;
    }
    const BYTE *Raw(size_t offset, size_t count) const {
        if (offset > bytes_.size() || count > bytes_.size() - offset) return nullptr;
        return bytes_.data() + offset;
    }
    std::vector<BYTE> bytes_;
    ULONGLONG base_ = 0;
    const IMAGE_DATA_DIRECTORY *directories_ = nullptr;
    const IMAGE_SECTION_HEADER *sections_ = nullptr;
    size_t section_count_ = 0;
};

bool Load(const std::wstring &path, LoadedTable *out, std::wstring *error) {
    ImageFile image;
    if (!image.Read(path, error)) return false;
    ULONGLONG place = image.ExportRva(UI_LAYOUT_TABLE_EXPORT);
    if (!place) {
        *error = path + L" exports no layout table";
        return false;
    }
    *error = path + L": its layout table points outside the program";
    auto pointer = reinterpret_cast<const UiWindowTable *const *>(
        image.AtRva(place, sizeof(const UiWindowTable *)));
    auto table = pointer ? reinterpret_cast<const UiWindowTable *>(
                               image.AtAddress(*pointer, sizeof(UiWindowTable)))
                         : nullptr;
    if (!table || table->row_count <= 0 || table->row_count > 4096) return false;
    auto rows = reinterpret_cast<const UiRow *>(
        image.AtAddress(table->rows, sizeof(UiRow) * (size_t)table->row_count));
    if (!rows) return false;
    out->table = *table;
    out->rows.assign(rows, rows + table->row_count);
    for (UiRow &row : out->rows) {
        if (!row.text) continue;
        std::wstring text;
        for (const wchar_t *at = row.text;; ++at) {
            auto unit = reinterpret_cast<const wchar_t *>(image.AtAddress(at, sizeof(wchar_t)));
            if (!unit) return false;
            if (!*unit) break;
            text += *unit;
        }
        out->texts.push_back(std::make_unique<std::wstring>(text));
        row.text = out->texts.back()->c_str();
    }
    out->table.rows = out->rows.data();
    error->clear();
    return true;
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
