#include "pe_image.h"

#include <windows.h>

#include <cstring>
#include <stdexcept>

#include "testing.h"

namespace testing_support {

namespace {

class PeFile {
public:
    explicit PeFile(const std::string& path) : bytes_(readFile(path))
    {
        const auto* dos = at<IMAGE_DOS_HEADER>(0);
        if (dos->e_magic != IMAGE_DOS_SIGNATURE)
            throw std::runtime_error(path + " is not a PE file");
        nt_ = at<IMAGE_NT_HEADERS32>(dos->e_lfanew);
        if (nt_->Signature != IMAGE_NT_SIGNATURE)
            throw std::runtime_error(path + " is not a PE file");
        // PE32 and PE32+ share the file header; their optional headers differ in width.
        if (nt_->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
            nt64_ = at<IMAGE_NT_HEADERS64>(dos->e_lfanew);
        else if (nt_->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC)
            throw std::runtime_error(path + " has an optional header of neither PE32 nor PE32+");
    }

    const IMAGE_DATA_DIRECTORY& directory(int index) const
    {
        return nt64_ ? nt64_->OptionalHeader.DataDirectory[index] : nt_->OptionalHeader.DataDirectory[index];
    }

    // The file offset of a relative virtual address.
    std::size_t offsetOf(DWORD rva) const
    {
        const auto* section = IMAGE_FIRST_SECTION(nt_);
        for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; ++i, ++section) {
            const DWORD size = section->Misc.VirtualSize ? section->Misc.VirtualSize : section->SizeOfRawData;
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + size)
                return rva - section->VirtualAddress + section->PointerToRawData;
        }
        throw std::runtime_error("address outside every section");
    }

    template <typename T>
    const T* at(std::size_t offset) const
    {
        if (offset + sizeof(T) > bytes_.size())
            throw std::runtime_error("PE structure beyond the end of the file");
        return reinterpret_cast<const T*>(bytes_.data() + offset);
    }

    std::string stringAt(DWORD rva) const
    {
        const std::size_t offset = offsetOf(rva);
        return std::string(bytes_.c_str() + offset, strnlen(bytes_.c_str() + offset, bytes_.size() - offset));
    }

private:
    std::string bytes_;
    const IMAGE_NT_HEADERS32* nt_ = nullptr;
    const IMAGE_NT_HEADERS64* nt64_ = nullptr;
};

} // namespace

std::vector<std::string> importedDlls(const std::string& path)
{
    const PeFile pe(path);
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY& imports = pe.directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (imports.VirtualAddress == 0)
        return names;
    for (std::size_t offset = pe.offsetOf(imports.VirtualAddress);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor = pe.at<IMAGE_IMPORT_DESCRIPTOR>(offset);
        if (descriptor->Name == 0)
            break;
        names.push_back(pe.stringAt(descriptor->Name));
    }
    return names;
}

std::vector<std::string> exportedNames(const std::string& path)
{
    const PeFile pe(path);
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY& exports = pe.directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (exports.VirtualAddress == 0)
        return names;
    const auto* directory = pe.at<IMAGE_EXPORT_DIRECTORY>(pe.offsetOf(exports.VirtualAddress));
    const std::size_t nameTable = pe.offsetOf(directory->AddressOfNames);
    for (DWORD i = 0; i < directory->NumberOfNames; ++i)
        names.push_back(pe.stringAt(*pe.at<DWORD>(nameTable + i * sizeof(DWORD))));
    return names;
}

namespace {

void writeSlot(void** slot, void* value)
{
    DWORD previous = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &previous);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), previous, &previous);
}

} // namespace

ImportPatch::ImportPatch(void* module, const std::string& dll, const std::string& function, void* replacement)
{
    auto* base = static_cast<BYTE*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         descriptor->Name; ++descriptor) {
        if (!equalsIgnoringCase(reinterpret_cast<const char*>(base + descriptor->Name), dll))
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
        auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++addresses) {
            if (names->u1.Ordinal & IMAGE_ORDINAL_FLAG)
                continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (function == reinterpret_cast<const char*>(byName->Name)) {
                slot_ = reinterpret_cast<void**>(&addresses->u1.Function);
                original_ = *slot_;
                writeSlot(slot_, replacement);
                return;
            }
        }
    }
    throw std::runtime_error("no import " + dll + "!" + function);
}

ImportPatch::~ImportPatch()
{
    if (slot_)
        writeSlot(slot_, original_);
}

namespace {

const LookupStandIns* activeStandIns = nullptr;
FARPROC(WINAPI* realGetProcAddress)(HMODULE, LPCSTR) = nullptr;

} // namespace

LookupStandIns::LookupStandIns(std::map<std::string, void*> replacements)
    : replacements_(std::move(replacements)),
      patch_(GetModuleHandleA(nullptr), "KERNEL32.dll", "GetProcAddress", reinterpret_cast<void*>(&getProcAddress))
{
    realGetProcAddress = reinterpret_cast<decltype(realGetProcAddress)>(patch_.original());
    activeStandIns = this;
}

LookupStandIns::~LookupStandIns()
{
    activeStandIns = nullptr;
}

FARPROC WINAPI LookupStandIns::getProcAddress(HMODULE module, LPCSTR name)
{
    // A name whose high word is zero is an ordinal.
    if (activeStandIns && (reinterpret_cast<ULONG_PTR>(name) >> 16) != 0) {
        const auto replacement = activeStandIns->replacements_.find(name);
        if (replacement != activeStandIns->replacements_.end())
            return reinterpret_cast<FARPROC>(replacement->second);
    }
    return realGetProcAddress(module, name);
}

std::string pathOfHandle(HANDLE handle)
{
    char path[MAX_PATH * 2] = {};
    const DWORD length = GetFinalPathNameByHandleA(handle, path, sizeof(path), FILE_NAME_NORMALIZED);
    std::string text(path, length < sizeof(path) ? length : 0);
    if (text.starts_with("\\\\?\\"))
        text.erase(0, 4);
    return text;
}

} // namespace testing_support
