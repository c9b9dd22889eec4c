#include "files/component_image.h"

#include "core/handles.h"
#include "core/kernel_api.h"

namespace {

// Headers a 64-bit image starts with: the DOS stub's pointer to the NT
// headers, then those, then the section table (Microsoft's PE format).
constexpr DWORD kMaxNtHeadersOffset = 64 * 1024;
constexpr WORD kMaxSections = 96;

bool ReadAt(HANDLE file, LONGLONG offset, void* buffer, DWORD bytes) {
    LARGE_INTEGER at;
    at.QuadPart = offset;
    DWORD read = 0;
    return kernel.SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
           kernel.ReadFile(file, buffer, bytes, &read, nullptr) && read == bytes;
}

// Every section's raw data lies within the file: a copy cut short fails here.
bool SectionsFit(HANDLE file, LONGLONG sectionTable, WORD count, LONGLONG size) {
    for (WORD i = 0; i < count; ++i) {
        IMAGE_SECTION_HEADER section = {};
        if (!ReadAt(file, sectionTable + LONGLONG{i} * sizeof(section), &section,
                    sizeof(section)) ||
            LONGLONG{section.PointerToRawData} + section.SizeOfRawData > size) {
            return false;
        }
    }
    return true;
}

ComponentImage CheckHeaders(HANDLE file, LONGLONG size) {
    IMAGE_DOS_HEADER dos = {};
    if (!ReadAt(file, 0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        dos.e_lfanew <= 0 || static_cast<DWORD>(dos.e_lfanew) > kMaxNtHeadersOffset) {
        return ComponentImage::NotAnImage;
    }
    // The 32-bit and 64-bit headers agree up to the optional header's magic.
    IMAGE_NT_HEADERS64 nt = {};
    if (!ReadAt(file, dos.e_lfanew, &nt,
                offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + sizeof(nt.OptionalHeader.Magic)) ||
        nt.Signature != IMAGE_NT_SIGNATURE) {
        return ComponentImage::NotAnImage;
    }
    if (nt.FileHeader.Machine != IMAGE_FILE_MACHINE_AMD64 ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return ComponentImage::NotX64;
    }
    LONGLONG sectionTable = dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                            nt.FileHeader.SizeOfOptionalHeader;
    if (nt.FileHeader.NumberOfSections == 0 || nt.FileHeader.NumberOfSections > kMaxSections ||
        !ReadAt(file, dos.e_lfanew, &nt, sizeof(nt)) || nt.OptionalHeader.SizeOfHeaders > size ||
        !SectionsFit(file, sectionTable, nt.FileHeader.NumberOfSections, size)) {
        return ComponentImage::NotAnImage;
    }
    if (!(nt.FileHeader.Characteristics & IMAGE_FILE_DLL) ||
        !(nt.FileHeader.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE)) {
        return ComponentImage::NotADll;
    }
    return ComponentImage::Usable;
}

}  // namespace

ComponentImage CheckComponentImage(const wchar_t* path) {
    UniqueFile file(kernel.CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !kernel.GetFileSizeEx(file.Get(), &size)) {
        return ComponentImage::Missing;
    }
    return CheckHeaders(file.Get(), size.QuadPart);
}
