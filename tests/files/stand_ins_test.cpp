// The stand-ins for the product's own components do what the installer and
// the spooler rely on: checked in-process on the built files.
#include <gmock/gmock.h>

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/handles.h"
#include "core/product.h"
#include "files/component_image.h"
#include "spooler/winspool_api.h"
#include "support/test_support.h"

namespace {

std::wstring StandIn(const wchar_t* name) {
    return BuildDir() + L"\\stand-ins\\" + name;
}

// A function the module exports, by its undecorated name.
template <typename F>
F Export(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
template <typename F>
F Export(const UniqueModule& module, const char* name) {
    return Export<F>(module.Get(), name);
}

UniqueModule Load(const std::wstring& path) {
    return UniqueModule(LoadLibraryW(path.c_str()));
}

// The version resource's fixed part, or false when the file has none.
bool FileVersion(const std::wstring& path, VS_FIXEDFILEINFO& info) {
    DWORD handle = 0;
    DWORD size = version.GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) {
        return false;
    }
    std::vector<BYTE> data(size);
    if (!version.GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
        return false;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!version.VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        !fixed) {
        return false;
    }
    info = *fixed;
    return true;
}

int BuildOf(const std::wstring& path) {
    VS_FIXEDFILEINFO info = {};
    return FileVersion(path, info) ? LOWORD(info.dwFileVersionLS) : -1;
}

// ---- port monitor ----------------------------------------------------------

using InitializeMonitor = LPMONITOR2(WINAPI*)(PMONITORINIT, PHANDLE);

class PortMonitorStandIn : public testing::Test {
protected:
    void SetUp() override {
        module_ = Load(StandIn(L"zrlmon64.dll"));
        ASSERT_TRUE(module_);
        auto initialize = Export<InitializeMonitor>(module_, "InitializePrintMonitor2");
        ASSERT_NE(initialize, nullptr);
        MONITORINIT init = {};
        init.cbSize = sizeof(init);
        init.bLocal = TRUE;
        monitor_ = initialize(&init, &handle_);
        ASSERT_NE(monitor_, nullptr);
    }

    UniqueModule module_;
    MONITOR2* monitor_ = nullptr;
    HANDLE handle_ = nullptr;
};

TEST_F(PortMonitorStandIn, InitializeReturnsAFullSizeTable) {
    EXPECT_EQ(monitor_->cbSize, sizeof(MONITOR2));
    EXPECT_NE(handle_, nullptr);
    EXPECT_NE(monitor_->pfnEnumPorts, nullptr);
    EXPECT_NE(monitor_->pfnOpenPort, nullptr);
    EXPECT_NE(monitor_->pfnStartDocPort, nullptr);
    EXPECT_NE(monitor_->pfnWritePort, nullptr);
    EXPECT_NE(monitor_->pfnEndDocPort, nullptr);
    EXPECT_NE(monitor_->pfnClosePort, nullptr);
}

TEST_F(PortMonitorStandIn, EnumPortsFollowsTheTwoCallProtocol) {
    DWORD needed = 0;
    DWORD returned = 7;
    SetLastError(kPoison);
    EXPECT_FALSE(monitor_->pfnEnumPorts(handle_, nullptr, 2, nullptr, 0, &needed, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(returned, 0u);
    ASSERT_GT(needed, sizeof(PORT_INFO_2W));

    std::vector<BYTE> buffer(needed);
    SetLastError(kPoison);
    EXPECT_FALSE(
        monitor_->pfnEnumPorts(handle_, nullptr, 2, buffer.data(), needed - 1, &needed, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    ASSERT_TRUE(
        monitor_->pfnEnumPorts(handle_, nullptr, 2, buffer.data(), needed, &needed, &returned));
    ASSERT_EQ(returned, 1u);
    auto* port = reinterpret_cast<PORT_INFO_2W*>(buffer.data());
    ASSERT_NE(port->pPortName, nullptr);
    ASSERT_NE(port->pMonitorName, nullptr);
    ASSERT_NE(port->pDescription, nullptr);
    EXPECT_STREQ(port->pPortName, L"Zantorelle:");
    EXPECT_STREQ(port->pMonitorName, L"Zantorelle:");
    EXPECT_NE(port->pDescription[0], 0);
    // Everything lies inside the caller's buffer.
    BYTE* end = buffer.data() + needed;
    EXPECT_LT(reinterpret_cast<BYTE*>(port->pDescription + lstrlenW(port->pDescription)), end);
}

TEST_F(PortMonitorStandIn, EnumPortsAtLevelOne) {
    DWORD needed = 0;
    DWORD returned = 0;
    EXPECT_FALSE(monitor_->pfnEnumPorts(handle_, nullptr, 1, nullptr, 0, &needed, &returned));
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(
        monitor_->pfnEnumPorts(handle_, nullptr, 1, buffer.data(), needed, &needed, &returned));
    ASSERT_EQ(returned, 1u);
    auto* port = reinterpret_cast<PORT_INFO_1W*>(buffer.data());
    ASSERT_NE(port->pName, nullptr);
    EXPECT_STREQ(port->pName, L"Zantorelle:");
}

TEST_F(PortMonitorStandIn, EnumPortsRefusesOtherLevels) {
    DWORD needed = 0;
    DWORD returned = 0;
    BYTE buffer[512];
    SetLastError(kPoison);
    EXPECT_FALSE(
        monitor_->pfnEnumPorts(handle_, nullptr, 3, buffer, sizeof(buffer), &needed, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    EXPECT_EQ(returned, 0u);
}

TEST_F(PortMonitorStandIn, PortAcceptsAndDiscardsAJob) {
    HANDLE port = nullptr;
    wchar_t name[] = L"Zantorelle:";
    ASSERT_TRUE(monitor_->pfnOpenPort(handle_, name, &port));
    ASSERT_NE(port, nullptr);
    wchar_t printer[] = L"no such printer";
    EXPECT_TRUE(monitor_->pfnStartDocPort(port, printer, 1, 1, nullptr));
    BYTE data[100] = {};
    DWORD written = 0;
    EXPECT_TRUE(monitor_->pfnWritePort(port, data, sizeof(data), &written));
    EXPECT_EQ(written, sizeof(data));
    EXPECT_TRUE(monitor_->pfnEndDocPort(port));
    EXPECT_TRUE(monitor_->pfnClosePort(port));

    wchar_t other[] = L"LPT1:";
    SetLastError(kPoison);
    EXPECT_FALSE(monitor_->pfnOpenPort(handle_, other, &port));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(StandInVersions, MonitorsCarryTheirBuildNumbers) {
    EXPECT_EQ(BuildOf(StandIn(L"zrlmon64.dll")), 2026);
    EXPECT_EQ(BuildOf(StandIn(L"zrlmon64-1213.dll")), 1213);
    EXPECT_EQ(BuildOf(StandIn(L"zrlmon64-1214.dll")), 1214);
    EXPECT_EQ(BuildOf(StandIn(L"zrlmon64-2027.dll")), 2027);
    EXPECT_EQ(BuildOf(StandIn(L"zrldrv64.dll")), 2026);
    EXPECT_EQ(BuildOf(StandIn(L"zrlui64.dll")), 2026);
}

TEST(StandInVersions, VariantsAreFullMonitors) {
    for (const wchar_t* name : {L"zrlmon64-1213.dll", L"zrlmon64-noversion.dll"}) {
        UniqueModule module = Load(StandIn(name));
        ASSERT_TRUE(module) << name;
        EXPECT_NE(GetProcAddress(module.Get(), "InitializePrintMonitor2"), nullptr) << name;
    }
}

TEST(StandInVersions, NoVersionVariantHasNoVersionResource) {
    DWORD handle = 0;
    std::wstring path = StandIn(L"zrlmon64-noversion.dll");
    ASSERT_TRUE(FileExists(path));
    SetLastError(kPoison);
    EXPECT_EQ(version.GetFileVersionInfoSizeW(path.c_str(), &handle), 0u);
    // Windows and Wine differ in which "not found" they report.
    EXPECT_NE(GetLastError(), kPoison);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST(StandInVersions, TestFileCarriesTheLargestBuildNumber) {
    VS_FIXEDFILEINFO info = {};
    ASSERT_TRUE(FileVersion(StandIn(L"version-65535.dll"), info));
    EXPECT_EQ(info.dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(info.dwFileVersionLS, 0x0003FFFFu);
}

// ---- driver user interface -------------------------------------------------

// The header the spooler passes to DrvDocumentPropertySheets when it asks for
// a DEVMODE without property pages.
struct DocumentPropertyHeader {
    WORD cbSize;
    WORD reserved;
    HANDLE printer;
    LPWSTR printerName;
    DEVMODEW* devModeIn;
    DEVMODEW* devModeOut;
    DWORD outBytes;
    DWORD mode;
};

using DocumentPropertySheets = LONG(WINAPI*)(void*, LPARAM);
using DeviceCapabilities = DWORD(WINAPI*)(HANDLE, PWSTR, WORD, void*, DEVMODEW*);
using DriverEvent = BOOL(WINAPI*)(DWORD, DWORD, LPBYTE, LPARAM);

class DriverUiStandIn : public testing::Test {
protected:
    void SetUp() override {
        module_ = Load(StandIn(L"zrlui64.dll"));
        ASSERT_TRUE(module_);
        sheets_ = Export<DocumentPropertySheets>(module_, "DrvDocumentPropertySheets");
        ASSERT_NE(sheets_, nullptr);
        header_.cbSize = sizeof(header_);
        header_.printerName = printerName_;
    }

    UniqueModule module_;
    DocumentPropertySheets sheets_ = nullptr;
    wchar_t printerName_[11] = L"Zantorelle";
    DocumentPropertyHeader header_ = {};
};

TEST_F(DriverUiStandIn, SizeQueryGivesTheSizeOfADevMode) {
    header_.mode = 0;
    EXPECT_EQ(sheets_(nullptr, reinterpret_cast<LPARAM>(&header_)),
              static_cast<LONG>(sizeof(DEVMODEW)));
    EXPECT_EQ(header_.outBytes, sizeof(DEVMODEW));
}

TEST_F(DriverUiStandIn, OutBufferReceivesADefaultDevMode) {
    DEVMODEW dm = {};
    header_.devModeOut = &dm;
    header_.outBytes = sizeof(dm);
    header_.mode = DM_OUT_BUFFER;

    EXPECT_EQ(sheets_(nullptr, reinterpret_cast<LPARAM>(&header_)), IDOK);

    EXPECT_EQ(dm.dmSize, sizeof(DEVMODEW));
    EXPECT_EQ(dm.dmDriverExtra, 0);
    EXPECT_EQ(dm.dmSpecVersion, DM_SPECVERSION);
    EXPECT_STREQ(dm.dmDeviceName, L"Zantorelle");
    EXPECT_EQ(dm.dmFields & DM_PAPERSIZE, static_cast<DWORD>(DM_PAPERSIZE));
    EXPECT_EQ(dm.dmPaperSize, DMPAPER_A4);
}

TEST_F(DriverUiStandIn, InBufferSettingsAreKept) {
    DEVMODEW in = {};
    in.dmSize = sizeof(in);
    in.dmFields = DM_ORIENTATION;
    in.dmOrientation = DMORIENT_LANDSCAPE;
    DEVMODEW out = {};
    header_.devModeIn = &in;
    header_.devModeOut = &out;
    header_.outBytes = sizeof(out);
    header_.mode = DM_IN_BUFFER | DM_OUT_BUFFER;

    EXPECT_EQ(sheets_(nullptr, reinterpret_cast<LPARAM>(&header_)), IDOK);

    EXPECT_EQ(out.dmOrientation, DMORIENT_LANDSCAPE);
    EXPECT_EQ(out.dmPaperSize, DMPAPER_A4);
}

TEST_F(DriverUiStandIn, TooSmallOutBufferIsLeftAlone) {
    DEVMODEW dm = {};
    header_.devModeOut = &dm;
    header_.outBytes = sizeof(dm) - 1;
    header_.mode = DM_OUT_BUFFER;
    SetLastError(kPoison);

    EXPECT_EQ(sheets_(nullptr, reinterpret_cast<LPARAM>(&header_)), -1);

    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(dm.dmSize, 0);
}

TEST_F(DriverUiStandIn, ExportsTheSpoolersOtherEntries) {
    auto capabilities = Export<DeviceCapabilities>(module_, "DrvDeviceCapabilities");
    auto driverEvent = Export<DriverEvent>(module_, "DrvDriverEvent");
    ASSERT_NE(capabilities, nullptr);
    ASSERT_NE(driverEvent, nullptr);
    EXPECT_EQ(capabilities(nullptr, printerName_, DC_SIZE, nullptr, nullptr), sizeof(DEVMODEW));
    WORD papers[4] = {};
    EXPECT_EQ(capabilities(nullptr, printerName_, DC_PAPERS, papers, nullptr), 1u);
    EXPECT_EQ(papers[0], DMPAPER_A4);
    EXPECT_TRUE(driverEvent(1, 3, nullptr, 0));
}

// ---- installed layout --------------------------------------------------------

TEST(StandInLayout, InstallLaysOutTheProductAsItShips) {
    std::wstring setup = SetupDir();
    for (const wchar_t* name :
         {L"zrlsetup.exe", L"zrlmon64.dll", L"zrldrv64.dll", L"zrlui64.dll", L"zrlhelp.chm"}) {
        EXPECT_TRUE(FileExists(setup + L"\\" + name)) << name;
    }
    // The tray program lives in the parent folder of the installer's folder.
    EXPECT_TRUE(FileExists(StageDir() + L"\\Zantorelle\\zantray.exe"));
    EXPECT_FALSE(FileExists(setup + L"\\zantray.exe"));
    EXPECT_EQ(BuildOf(setup + L"\\zrlmon64.dll"), 2026);
    for (const wchar_t* name : {L"zrlmon64-1213.dll", L"zrlmon64-1214.dll", L"zrlmon64-2027.dll",
                                L"zrlmon64-noversion.dll", L"version-65535.dll"}) {
        EXPECT_FALSE(FileExists(setup + L"\\" + name)) << name;
    }
}

// ---- the component check, on the stand-ins and on copies damaged byte by byte ----

// An image's bytes and where its headers lie.
struct Image {
    std::string bytes;
    DWORD nt;
    DWORD sections;

    explicit Image(std::string file) : bytes(std::move(file)) {
        nt = Dos().e_lfanew;
        sections = nt + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                   Nt().FileHeader.SizeOfOptionalHeader;
    }
    IMAGE_DOS_HEADER& Dos() { return *reinterpret_cast<IMAGE_DOS_HEADER*>(bytes.data()); }
    IMAGE_NT_HEADERS64& Nt() { return *reinterpret_cast<IMAGE_NT_HEADERS64*>(bytes.data() + nt); }
    IMAGE_SECTION_HEADER& Section(int i) {
        return reinterpret_cast<IMAGE_SECTION_HEADER*>(bytes.data() + sections)[i];
    }
    IMAGE_SECTION_HEADER& LastSection() { return Section(Nt().FileHeader.NumberOfSections - 1); }
    DWORD Size() const { return static_cast<DWORD>(bytes.size()); }
    // The NT headers and the section table copied to `to`, where the DOS header points.
    void MoveHeadersTo(DWORD to) {
        std::string headers = bytes.substr(
            nt, sections - nt + Nt().FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER));
        bytes.resize(std::max<size_t>(bytes.size(), to + headers.size()));
        bytes.replace(to, headers.size(), headers);
        Dos().e_lfanew = static_cast<LONG>(to);
    }
};

class ComponentImageCheck : public testing::Test {
protected:
    void SetUp() override { dir_ = MakeTempDir(L"component-image"); }
    void TearDown() override { RemoveTree(dir_); }
    ComponentImage Check(const std::string& bytes) {
        std::wstring path = dir_ + L"\\component.dll";
        WriteFileBytes(path, bytes);
        return CheckComponentImage(path.c_str());
    }
    std::wstring dir_;
};

TEST_F(ComponentImageCheck, TheStandInsPassAndAProgramIsNoComponent) {
    for (const wchar_t* name : {kMonitorDll, kDriverDll, kUiDll}) {
        EXPECT_EQ(CheckComponentImage(StandIn(name).c_str()), ComponentImage::Usable) << name;
    }
    EXPECT_EQ(CheckComponentImage(StandIn(L"zantray.exe").c_str()), ComponentImage::NotADll);
    EXPECT_EQ(CheckComponentImage((dir_ + L"\\none.dll").c_str()), ComponentImage::Missing);
}

TEST_F(ComponentImageCheck, EveryCutAndEveryBoundOfTheHeadersIsRefused) {
    Image dll(ReadFileBytes(StandIn(kMonitorDll)));
    ASSERT_EQ(Check(dll.bytes), ComponentImage::Usable);
    // Cut short in any header, at the end of the headers and of every section.
    std::vector<DWORD> cuts;
    WORD count = dll.Nt().FileHeader.NumberOfSections;
    for (DWORD n = 0; n <= dll.sections + count * sizeof(IMAGE_SECTION_HEADER); ++n) {
        cuts.push_back(n);
    }
    cuts.push_back(dll.Nt().OptionalHeader.SizeOfHeaders - 1);
    for (int i = 0; i < count; ++i) {
        if (dll.Section(i).SizeOfRawData) {
            cuts.push_back(dll.Section(i).PointerToRawData + dll.Section(i).SizeOfRawData - 1);
        }
    }
    for (DWORD cut : cuts) {
        EXPECT_EQ(Check(dll.bytes.substr(0, cut)), ComponentImage::NotAnImage) << "cut to " << cut;
    }

    struct Damage {
        const char* what;
        void (*change)(Image&);
        ComponentImage expected;
    };
    const Damage damages[] = {
        {"an x64 program", [](Image& i) { i.Nt().FileHeader.Characteristics &= ~IMAGE_FILE_DLL; },
         ComponentImage::NotADll},
        {"not executable",
         [](Image& i) { i.Nt().FileHeader.Characteristics &= ~IMAGE_FILE_EXECUTABLE_IMAGE; },
         ComponentImage::NotADll},
        {"no MZ", [](Image& i) { i.Dos().e_magic = 0x4D5A; }, ComponentImage::NotAnImage},
        {"NT headers at 0", [](Image& i) { i.Dos().e_lfanew = 0; }, ComponentImage::NotAnImage},
        {"NT headers before the file", [](Image& i) { i.Dos().e_lfanew = LONG{-4}; },
         ComponentImage::NotAnImage},
        {"NT headers at 64 KiB", [](Image& i) { i.MoveHeadersTo(64 * 1024); },
         ComponentImage::Usable},
        {"NT headers past 64 KiB", [](Image& i) { i.MoveHeadersTo(64 * 1024 + 8); },
         ComponentImage::NotAnImage},
        {"NT headers past the end", [](Image& i) { i.Dos().e_lfanew = LONG(i.Size() - 8); },
         ComponentImage::NotAnImage},
        {"no PE signature", [](Image& i) { i.Nt().Signature = 0x00014550; },
         ComponentImage::NotAnImage},
        {"i386", [](Image& i) { i.Nt().FileHeader.Machine = IMAGE_FILE_MACHINE_I386; },
         ComponentImage::NotX64},
        {"ARM64", [](Image& i) { i.Nt().FileHeader.Machine = IMAGE_FILE_MACHINE_ARM64; },
         ComponentImage::NotX64},
        {"32-bit optional header",
         [](Image& i) { i.Nt().OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC; },
         ComponentImage::NotX64},
        {"no sections", [](Image& i) { i.Nt().FileHeader.NumberOfSections = 0; },
         ComponentImage::NotAnImage},
        {"97 sections", [](Image& i) { i.Nt().FileHeader.NumberOfSections = 97; },
         ComponentImage::NotAnImage},
        {"section table past the end",
         [](Image& i) { i.Nt().FileHeader.SizeOfOptionalHeader = 0xFFFF; },
         ComponentImage::NotAnImage},
        {"headers to the end", [](Image& i) { i.Nt().OptionalHeader.SizeOfHeaders = i.Size(); },
         ComponentImage::Usable},
        {"headers past the end",
         [](Image& i) { i.Nt().OptionalHeader.SizeOfHeaders = i.Size() + 1; },
         ComponentImage::NotAnImage},
        {"last section to the end",
         [](Image& i) {
             i.LastSection().SizeOfRawData = i.Size() - i.LastSection().PointerToRawData;
         },
         ComponentImage::Usable},
        {"last section past the end",
         [](Image& i) {
             i.LastSection().SizeOfRawData = i.Size() - i.LastSection().PointerToRawData + 1;
         },
         ComponentImage::NotAnImage},
        {"a section whose 32-bit end wraps",
         [](Image& i) { i.Section(0).PointerToRawData = i.Section(0).SizeOfRawData = 0x80000000; },
         ComponentImage::NotAnImage},
        {"a section at 4 GiB",
         [](Image& i) {
             i.Section(0).PointerToRawData = 0xFFFFFFFF;
             i.Section(0).SizeOfRawData = 1;
         },
         ComponentImage::NotAnImage},
    };
    for (const Damage& damage : damages) {
        Image copy = dll;
        damage.change(copy);
        EXPECT_EQ(Check(copy.bytes), damage.expected) << damage.what;
    }
}

// ---- tray program ------------------------------------------------------------

constexpr wchar_t kTrayMutex[] = L"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
constexpr wchar_t kTrayClass[] = L"zvs::{05759F8E-103D-41B6-8A61-EFAA89516692}";

// A started tray program, ended by its handle if the test leaves it running.
class TrayProcess {
public:
    TrayProcess() {
        std::wstring commandLine = L"\"" + StandIn(L"zantray.exe") + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        started_ = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &info_);
        if (started_) {
            CloseHandle(info_.hThread);
        }
    }
    ~TrayProcess() {
        if (started_) {
            if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(info_.hProcess, 99);
                WaitForSingleObject(info_.hProcess, 5000);
            }
            CloseHandle(info_.hProcess);
        }
    }
    TrayProcess(const TrayProcess&) = delete;
    TrayProcess& operator=(const TrayProcess&) = delete;

    bool Started() const { return started_; }
    // Waits for the end of the process; its exit code, or -1 if it runs on.
    long Wait(DWORD ms) const {
        if (WaitForSingleObject(info_.hProcess, ms) != WAIT_OBJECT_0) {
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return static_cast<long>(code);
    }

private:
    bool started_ = false;
    PROCESS_INFORMATION info_ = {};
};

struct MutexHandle {
    HANDLE handle;
    ~MutexHandle() {
        if (handle) {
            CloseHandle(handle);
        }
    }
};

HWND WaitForTrayWindow() {
    for (int i = 0; i < 200; ++i) {
        if (HWND window = FindWindowW(kTrayClass, nullptr)) {
            return window;
        }
        Sleep(25);
    }
    return nullptr;
}

TEST(TrayStandIn, HoldsTheMutexAndEndsOnTheStopMessage) {
    ASSERT_EQ(FindWindowW(kTrayClass, nullptr), nullptr) << "a tray program is already running";
    TrayProcess tray;
    ASSERT_TRUE(tray.Started());
    HWND window = WaitForTrayWindow();
    ASSERT_NE(window, nullptr);

    MutexHandle mutex{CreateMutexW(nullptr, FALSE, kTrayMutex)};
    DWORD created = GetLastError();
    ASSERT_NE(mutex.handle, nullptr);
    EXPECT_EQ(created, static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    // A second instance finds the mutex taken and leaves at once.
    TrayProcess second;
    ASSERT_TRUE(second.Started());
    EXPECT_EQ(second.Wait(5000), 0);
    EXPECT_EQ(FindWindowW(kTrayClass, nullptr), window);

    ASSERT_TRUE(PostMessageW(window, WM_USER + 2, 0, 0));
    // Released, not abandoned: the tray program let go of it before ending.
    EXPECT_EQ(WaitForSingleObject(mutex.handle, 5000), WAIT_OBJECT_0);
    ReleaseMutex(mutex.handle);
    EXPECT_EQ(tray.Wait(5000), 0);
    EXPECT_EQ(FindWindowW(kTrayClass, nullptr), nullptr);
}

// ---- with the spooler -----------------------------------------------------------

constexpr const wchar_t* kMonitor = kMonitorName;
constexpr const wchar_t* kDriver = kDriverName;
constexpr wchar_t kPrinter[] = L"Zantorelle stand-in check";

// What the test put into the shared prefix, taken out again however it ends.
struct SpoolerLeftovers {
    bool monitor = false;
    bool driver = false;
    bool printer = false;
    std::vector<std::wstring> files;

    ~SpoolerLeftovers() {
        HANDLE handle = nullptr;
        if (printer && winspool.OpenPrinterW(const_cast<LPWSTR>(kPrinter), &handle, nullptr)) {
            winspool.DeletePrinter(handle);
            winspool.ClosePrinter(handle);
        }
        if (driver) {
            winspool.DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(kEnvironment),
                                            const_cast<LPWSTR>(kDriver), 0, 0);
        }
        if (monitor) {
            winspool.DeleteMonitorW(nullptr, const_cast<LPWSTR>(kEnvironment),
                                    const_cast<LPWSTR>(kMonitor));
        }
        for (const std::wstring& file : files) {
            DeleteFileW(file.c_str());
        }
    }
};

bool MonitorInstalled() {
    DWORD needed = 0;
    DWORD count = 0;
    winspool.EnumMonitorsW(nullptr, 1, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed + 1);
    if (!winspool.EnumMonitorsW(nullptr, 1, buffer.data(), needed, &needed, &count)) {
        return false;
    }
    auto* monitors = reinterpret_cast<MONITOR_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        if (monitors[i].pName && std::wstring(monitors[i].pName) == kMonitor) {
            return true;
        }
    }
    return false;
}

// The monitor of each port the spooler offers, by port name.
std::vector<std::pair<std::wstring, std::wstring>> Ports() {
    using EnumPorts = BOOL(WINAPI*)(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);
    auto enumPorts = Export<EnumPorts>(GetModuleHandleW(L"winspool.drv"), "EnumPortsW");
    std::vector<std::pair<std::wstring, std::wstring>> ports;
    DWORD needed = 0;
    DWORD count = 0;
    if (!enumPorts) {
        return ports;
    }
    enumPorts(nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed + 1);
    if (!enumPorts(nullptr, 2, buffer.data(), needed, &needed, &count)) {
        return ports;
    }
    auto* info = reinterpret_cast<PORT_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        ports.emplace_back(info[i].pPortName ? info[i].pPortName : L"",
                           info[i].pMonitorName ? info[i].pMonitorName : L"");
    }
    return ports;
}

std::wstring DriverDirectory() {
    wchar_t dir[MAX_PATH] = {};
    DWORD needed = 0;
    winspool.GetPrinterDriverDirectoryW(nullptr, const_cast<LPWSTR>(kEnvironment), 1,
                                        reinterpret_cast<BYTE*>(dir), sizeof(dir), &needed);
    return dir;
}

bool CopyStandIn(const wchar_t* name, const std::wstring& dir, SpoolerLeftovers& leftovers) {
    std::wstring target = dir + L"\\" + name;
    leftovers.files.push_back(target);
    return CopyFileW(StandIn(name).c_str(), target.c_str(), FALSE) != 0;
}

void InstallMonitor(SpoolerLeftovers& leftovers) {
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_FALSE(FileExists(std::wstring(system) + L"\\zrlmon64.dll")) << "left over";
    ASSERT_TRUE(CopyStandIn(L"zrlmon64.dll", system, leftovers));
    MONITOR_INFO_2W info = {const_cast<LPWSTR>(kMonitor), const_cast<LPWSTR>(kEnvironment),
                            const_cast<LPWSTR>(L"zrlmon64.dll")};
    SetLastError(kPoison);
    ASSERT_TRUE(winspool.AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info))) << GetLastError();
    leftovers.monitor = true;
}

void InstallDriver(SpoolerLeftovers& leftovers) {
    std::wstring dir = DriverDirectory();
    ASSERT_FALSE(dir.empty());
    for (const wchar_t* name : {L"zrldrv64.dll", L"zrlui64.dll", L"zrlhelp.chm"}) {
        ASSERT_TRUE(CopyStandIn(name, dir, leftovers)) << name;
        // The spooler's own copy in the version folder.
        leftovers.files.push_back(dir + L"\\3\\" + name);
    }
    std::wstring driver = dir + L"\\zrldrv64.dll";
    std::wstring ui = dir + L"\\zrlui64.dll";
    std::wstring help = dir + L"\\zrlhelp.chm";
    DRIVER_INFO_6W info = {};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(kDriver);
    info.pEnvironment = const_cast<LPWSTR>(kEnvironment);
    info.pDriverPath = driver.data();
    info.pDataFile = driver.data();
    info.pConfigFile = ui.data();
    info.pHelpFile = help.data();
    SetLastError(kPoison);
    ASSERT_TRUE(winspool.AddPrinterDriverExW(nullptr, 6, reinterpret_cast<BYTE*>(&info),
                                             APD_COPY_ALL_FILES))
        << GetLastError();
    leftovers.driver = true;
}

TEST(StandInsWithTheSpooler, ComponentsAreAcceptedAndAJobGoesThroughThePort) {
    ASSERT_FALSE(MonitorInstalled()) << "left over";
    SpoolerLeftovers leftovers;
    ASSERT_NO_FATAL_FAILURE(InstallMonitor(leftovers));
    EXPECT_THAT(Ports(),
                testing::Contains(std::make_pair(std::wstring(kMonitor), std::wstring(kMonitor))));
    ASSERT_NO_FATAL_FAILURE(InstallDriver(leftovers));

    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(kPrinter);
    info.pPortName = const_cast<LPWSTR>(kMonitor);
    info.pDriverName = const_cast<LPWSTR>(kDriver);
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
    HANDLE printer = winspool.AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    ASSERT_NE(printer, nullptr) << GetLastError();
    leftovers.printer = true;
    UniquePrinter guard(printer);

    // The printer's default DEVMODE came from the UI DLL.
    DWORD needed = 0;
    winspool.GetPrinterW(printer, 2, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 1);
    ASSERT_TRUE(winspool.GetPrinterW(printer, 2, buffer.data(), needed, &needed));
    DEVMODEW* dm = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data())->pDevMode;
    ASSERT_NE(dm, nullptr);
    EXPECT_EQ(dm->dmSize, sizeof(DEVMODEW));
    EXPECT_EQ(dm->dmPaperSize, DMPAPER_A4);

    using StartDoc = DWORD(WINAPI*)(HANDLE, DWORD, LPBYTE);
    using Write = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, LPDWORD);
    using EndDoc = BOOL(WINAPI*)(HANDLE);
    HMODULE spooler = GetModuleHandleW(L"winspool.drv");
    auto startDoc = Export<StartDoc>(spooler, "StartDocPrinterW");
    auto write = Export<Write>(spooler, "WritePrinter");
    auto endDoc = Export<EndDoc>(spooler, "EndDocPrinter");
    ASSERT_TRUE(startDoc && write && endDoc);
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"check"), nullptr, const_cast<LPWSTR>(L"RAW")};
    ASSERT_NE(startDoc(printer, 1, reinterpret_cast<BYTE*>(&doc)), 0u);
    char data[] = "stand-in";
    DWORD written = 0;
    EXPECT_TRUE(write(printer, data, sizeof(data), &written));
    EXPECT_EQ(written, sizeof(data));
    SetLastError(kPoison);
    EXPECT_TRUE(endDoc(printer)) << GetLastError();
}

}  // namespace
