// Prints the state the installer changes, one line per object, sorted within
// each section, so that end-to-end tests can compare it with a plain diff:
//
//   monitor "Local Port" dll="localspl.dll"
//   driver "Zantorelle printer" version=3 driver="zrldrv64.dll" config="zrlui64.dll"
//       data="zrldrv64.dll" help="zrlhelp.chm"                      (one line)
//   port "FILE:" monitor="Local Port"
//   printer "Office" driver="..." port="..." processor="..." comment="..." location="..."
//       subkey="..." dsuser-subkey="..."                            (one line)
//   details "Office" share="..." attributes=0x348 priority=42/7 hours=60-1200
//       separator="..." datatype="RAW" parameters=none paper=9 orientation=2
//       copies=3 data=PrinterDriverData\Duplex:1:6c..., ...   (one line; data
//       without the SubKey, in the registry's order within each key)
//   default "Office"
//   run ZantorelleTray="C:\...\zantray.exe"
//   pending "\??\C:\windows\system32\zrlmon64.dll" ""
//
// Values the system does not have are printed as none, without quotes. File
// names of drivers are printed without their folder. Pending file-rename
// operations keep the system's order (it matters there).
//
//   state_dump [monitors|drivers|ports|printers|details|default|run|pending]...
//
// No argument prints every section. Writes UTF-8 with LF line ends to standard
// output; exits 0, or 2 for an unknown section (named on standard error).
#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::wstring>;

constexpr wchar_t kEnvironment[] = L"Windows x64";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kTrayValue[] = L"ZantorelleTray";
constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

void Write(const std::wstring& text, DWORD stream = STD_OUTPUT_HANDLE) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
    std::string utf8(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes,
                        nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(stream), utf8.data(), static_cast<DWORD>(utf8.size()), &written,
              nullptr);
}

void WriteLines(Lines lines, bool sorted) {
    if (sorted) {
        std::sort(lines.begin(), lines.end());
    }
    std::wstring text;
    for (const auto& line : lines) {
        text += line + L"\n";
    }
    Write(text);
}

std::wstring Quoted(const wchar_t* text) {
    return text ? L"\"" + std::wstring(text) + L"\"" : L"none";
}

std::wstring Field(const wchar_t* name, const wchar_t* value) {
    return L" " + std::wstring(name) + L"=" + Quoted(value);
}

std::wstring BaseName(const wchar_t* path) {
    if (!path) {
        return L"none";
    }
    std::wstring p(path);
    size_t cut = p.find_last_of(L"\\/");
    return Quoted((cut == std::wstring::npos ? p : p.substr(cut + 1)).c_str());
}

// The spooler's two-call size protocol; an empty block when there is nothing.
template <typename Query>
std::vector<BYTE> SpoolerBlock(Query query, DWORD& count) {
    DWORD needed = 0;
    count = 0;
    std::vector<BYTE> block;
    if (query(nullptr, 0, &needed, &count) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        count = 0;
        return block;
    }
    block.resize(needed);
    if (!query(block.data(), needed, &needed, &count)) {
        count = 0;
        block.clear();
    }
    return block;
}

Lines Monitors() {
    DWORD count = 0;
    auto block =
        SpoolerBlock([](BYTE* b, DWORD size, DWORD* needed,
                        DWORD* n) { return EnumMonitorsW(nullptr, 2, b, size, needed, n); },
                     count);
    Lines lines;
    auto* records = reinterpret_cast<MONITOR_INFO_2W*>(block.data());
    for (DWORD i = 0; i < count; ++i) {
        lines.push_back(L"monitor " + Quoted(records[i].pName) +
                        Field(L"dll", records[i].pDLLName));
    }
    return lines;
}

Lines Drivers() {
    DWORD count = 0;
    auto block = SpoolerBlock(
        [](BYTE* b, DWORD size, DWORD* needed, DWORD* n) {
            return EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(kEnvironment), 3, b, size,
                                       needed, n);
        },
        count);
    Lines lines;
    auto* records = reinterpret_cast<DRIVER_INFO_3W*>(block.data());
    for (DWORD i = 0; i < count; ++i) {
        const DRIVER_INFO_3W& d = records[i];
        lines.push_back(L"driver " + Quoted(d.pName) + L" version=" + std::to_wstring(d.cVersion) +
                        L" driver=" + BaseName(d.pDriverPath) + L" config=" +
                        BaseName(d.pConfigFile) + L" data=" + BaseName(d.pDataFile) + L" help=" +
                        BaseName(d.pHelpFile));
    }
    return lines;
}

Lines Ports() {
    DWORD count = 0;
    auto block = SpoolerBlock([](BYTE* b, DWORD size, DWORD* needed,
                                 DWORD* n) { return EnumPortsW(nullptr, 2, b, size, needed, n); },
                              count);
    Lines lines;
    auto* records = reinterpret_cast<PORT_INFO_2W*>(block.data());
    for (DWORD i = 0; i < count; ++i) {
        lines.push_back(L"port " + Quoted(records[i].pPortName) +
                        Field(L"monitor", records[i].pMonitorName));
    }
    return lines;
}

// REG_SZ printer data as text; none when missing, the type when not text.
std::wstring PrinterData(HANDLE printer, const wchar_t* key) {
    wchar_t value[1024] = {};
    DWORD type = 0;
    DWORD needed = 0;
    DWORD result =
        key ? GetPrinterDataExW(printer, const_cast<LPWSTR>(key), const_cast<LPWSTR>(L"SubKey"),
                                &type, reinterpret_cast<BYTE*>(value), sizeof(value) - 2, &needed)
            : GetPrinterDataW(printer, const_cast<LPWSTR>(L"SubKey"), &type,
                              reinterpret_cast<BYTE*>(value), sizeof(value) - 2, &needed);
    if (result != ERROR_SUCCESS) {
        return L"none";
    }
    if (type != REG_SZ) {
        return L"type-" + std::to_wstring(type);
    }
    return Quoted(value);
}

std::wstring PrinterLine(const PRINTER_INFO_2W& p) {
    std::wstring line = L"printer " + Quoted(p.pPrinterName) + Field(L"driver", p.pDriverName) +
                        Field(L"port", p.pPortName) + Field(L"processor", p.pPrintProcessor) +
                        Field(L"comment", p.pComment) + Field(L"location", p.pLocation);
    HANDLE printer = nullptr;
    if (!OpenPrinterW(p.pPrinterName, &printer, nullptr) || !printer) {
        return line + L" subkey=unreadable dsuser-subkey=unreadable";
    }
    line += L" subkey=" + PrinterData(printer, nullptr);
    line += L" dsuser-subkey=" + PrinterData(printer, L"DsUser");
    ClosePrinter(printer);
    return line;
}

// One line per local printer and connection.
Lines PrinterLines(std::wstring (*line)(const PRINTER_INFO_2W&)) {
    DWORD count = 0;
    auto block = SpoolerBlock(
        [](BYTE* b, DWORD size, DWORD* needed, DWORD* n) {
            return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, b, size,
                                 needed, n);
        },
        count);
    Lines lines;
    auto* records = reinterpret_cast<PRINTER_INFO_2W*>(block.data());
    for (DWORD i = 0; i < count; ++i) {
        lines.push_back(line(records[i]));
    }
    return lines;
}

Lines Printers() {
    return PrinterLines(&PrinterLine);
}

// Every value below the printer's key ("" for the key itself), as Wine keeps
// them; the SubKey has lines of its own.
void DataBelow(HKEY printerKey, const std::wstring& path, std::wstring& data) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(printerKey, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    wchar_t name[256];
    std::vector<BYTE> value(4096);
    for (DWORD i = 0; !path.empty(); ++i) {
        DWORD chars = 256;
        DWORD bytes = static_cast<DWORD>(value.size());
        DWORD type = 0;
        if (RegEnumValueW(key, i, name, &chars, nullptr, &type, value.data(), &bytes) !=
            ERROR_SUCCESS) {
            break;
        }
        if (lstrcmpiW(name, L"SubKey") == 0) {
            continue;
        }
        data += (data.empty() ? L"" : L", ") + path + L"\\" + name + L":" + std::to_wstring(type) +
                L":";
        for (DWORD b = 0; b < bytes; ++b) {
            wchar_t hex[3];
            wsprintfW(hex, L"%02x", value[b]);
            data += hex;
        }
    }
    for (DWORD i = 0;; ++i) {
        DWORD chars = 256;
        if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        DataBelow(printerKey, path.empty() ? name : path + L"\\" + name, data);
    }
    RegCloseKey(key);
}

std::wstring DetailsLine(const PRINTER_INFO_2W& p) {
    wchar_t numbers[128];
    wsprintfW(numbers, L" attributes=0x%x priority=%u/%u hours=%u-%u", p.Attributes, p.Priority,
              p.DefaultPriority, p.StartTime, p.UntilTime);
    std::wstring line = L"details " + Quoted(p.pPrinterName) + Field(L"share", p.pShareName) +
                        numbers + Field(L"separator", p.pSepFile) +
                        Field(L"datatype", p.pDatatype) + Field(L"parameters", p.pParameters);
    if (p.pDevMode) {
        line += L" paper=" + std::to_wstring(p.pDevMode->dmPaperSize) + L" orientation=" +
                std::to_wstring(p.pDevMode->dmOrientation) + L" copies=" +
                std::to_wstring(p.pDevMode->dmCopies);
    }
    HKEY printers = nullptr;
    std::wstring data;
    std::wstring path =
        L"System\\CurrentControlSet\\Control\\Print\\Printers\\" + std::wstring(p.pPrinterName);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &printers) == ERROR_SUCCESS) {
        DataBelow(printers, L"", data);
        RegCloseKey(printers);
    }
    return line + L" data=" + (data.empty() ? L"none" : data);
}

Lines Details() {
    return PrinterLines(&DetailsLine);
}

Lines DefaultPrinter() {
    wchar_t name[1024] = {};
    DWORD chars = 1024;
    bool found = GetDefaultPrinterW(name, &chars) && name[0];
    return {L"default " + (found ? Quoted(name) : std::wstring(L"none"))};
}

bool ReadRunValue(std::wstring& value) {
    wchar_t text[2048] = {};
    DWORD bytes = sizeof(text) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue, RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr,
                     text, &bytes) != ERROR_SUCCESS) {
        return false;
    }
    value = text;
    return true;
}

Lines RunValue() {
    std::wstring value;
    bool found = ReadRunValue(value);
    return {L"run " + std::wstring(kTrayValue) + L"=" +
            (found ? Quoted(value.c_str()) : std::wstring(L"none"))};
}

// The raw data: strings each ended by a zero, then one more zero. An empty
// string inside is a legitimate empty target, so the data is split by its
// length, not at the first double zero.
bool ReadPendingStrings(Lines& strings) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD bytes = 0;
    LONG result =
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &bytes);
    std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 1, L'\0');
    if (result == ERROR_SUCCESS) {
        result = RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type,
                                  reinterpret_cast<BYTE*>(data.data()), &bytes);
    }
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        return false;
    }
    size_t length = bytes / sizeof(wchar_t);
    for (size_t at = 0; at < length;) {
        std::wstring s(data.data() + at);
        strings.push_back(s);
        at += s.size() + 1;
    }
    if (strings.size() % 2 == 1 && strings.back().empty()) {
        strings.pop_back();
    }
    return true;
}

// Source and target in the system's order; an empty target means "delete".
Lines PendingRenames() {
    Lines strings;
    Lines lines;
    ReadPendingStrings(strings);
    for (size_t i = 0; i < strings.size(); i += 2) {
        std::wstring target = i + 1 < strings.size() ? strings[i + 1] : L"";
        lines.push_back(L"pending " + Quoted(strings[i].c_str()) + L" " + Quoted(target.c_str()));
    }
    if (lines.empty()) {
        lines.push_back(L"pending none");
    }
    return lines;
}

struct Section {
    const wchar_t* name;
    Lines (*read)();
    bool sorted;
};

constexpr Section kSections[] = {
    {L"monitors", &Monitors, true}, {L"drivers", &Drivers, true},
    {L"ports", &Ports, true},       {L"printers", &Printers, true},
    {L"details", &Details, true},   {L"default", &DefaultPrinter, false},
    {L"run", &RunValue, false},     {L"pending", &PendingRenames, false},
};

const Section* FindSection(const wchar_t* name) {
    for (const auto& section : kSections) {
        if (lstrcmpW(section.name, name) == 0) {
            return &section;
        }
    }
    return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        for (const auto& section : kSections) {
            WriteLines(section.read(), section.sorted);
        }
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        if (!FindSection(argv[i])) {
            Write(L"unknown section: " + std::wstring(argv[i]) + L"\n", STD_ERROR_HANDLE);
            return 2;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const Section* section = FindSection(argv[i]);
        WriteLines(section->read(), section->sorted);
    }
    return 0;
}
