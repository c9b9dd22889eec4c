// Names and numbers of the product that the installer puts into the spooler.
#pragma once

inline constexpr int kBuildNumber = 2026;
inline constexpr wchar_t kEnvironment[] = L"Windows x64";
inline constexpr wchar_t kMonitorName[] = L"Zantorelle:";
inline constexpr wchar_t kPortName[] = L"Zantorelle:";
inline constexpr wchar_t kDriverName[] = L"Zantorelle printer";
inline constexpr wchar_t kManufacturer[] = L"Dravish Software Kft.";
inline constexpr wchar_t kMonitorDll[] = L"zrlmon64.dll";
inline constexpr wchar_t kDriverDll[] = L"zrldrv64.dll";
inline constexpr wchar_t kUiDll[] = L"zrlui64.dll";
inline constexpr wchar_t kHelpFile[] = L"zrlhelp.chm";

// Paths taken from the system are at most MAX_PATH characters; the buffers
// keep a few characters spare for a separator and the terminator.
inline constexpr unsigned kSystemPathChars = 260;
inline constexpr unsigned kPathBufferChars = 264;
