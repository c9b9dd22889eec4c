// Names and numbers of the product that the installer puts into the spooler.
#pragma once

inline constexpr int kBuildNumber = 2026;
// Installed port monitors from this build up to kBuildNumber work with this
// installer and are kept by a reinstall.
inline constexpr int kOldestCompatibleMonitorBuild = 1214;
inline constexpr wchar_t kEnvironment[] = L"Windows x64";
inline constexpr wchar_t kMonitorName[] = L"Zantorelle:";
inline constexpr wchar_t kPortName[] = L"Zantorelle:";
inline constexpr wchar_t kDriverName[] = L"Zantorelle printer";
inline constexpr wchar_t kManufacturer[] = L"Dravish Software Kft.";
inline constexpr wchar_t kMakerUrl[] = L"https://www.dravish-software.example/";
inline constexpr wchar_t kMonitorDll[] = L"zrlmon64.dll";
inline constexpr wchar_t kDriverDll[] = L"zrldrv64.dll";
inline constexpr wchar_t kUiDll[] = L"zrlui64.dll";
inline constexpr wchar_t kHelpFile[] = L"zrlhelp.chm";

// The product's printers: the print processor they are made with, and the name
// of the one printer a reinstall adds when it brought none back.
inline constexpr wchar_t kPrintProcessor[] = L"WinPrint";
inline constexpr wchar_t kFallbackPrinterName[] = L"Zantorelle";
// Each printer names its own settings key, below kProductKey in HKEY_CURRENT_USER,
// by the printer data "SubKey" (plain and under "DsUser"); the ANSI spooler and
// registry calls handle these names.
inline constexpr char kProductKey[] = "Software\\Dravish Software KFT\\Zantorelle";
inline constexpr char kSettingsKeyPrefix[] = "Zantorelles\\";
inline constexpr char kSubKeyValue[] = "SubKey";
inline constexpr char kDsUserKey[] = "DsUser";
inline constexpr char kDeletedValue[] = "deleted";

// Paths taken from the system are at most MAX_PATH characters; the buffers
// keep a few characters spare for a separator and the terminator.
inline constexpr unsigned kSystemPathChars = 260;
inline constexpr unsigned kPathBufferChars = 264;
