// Reinstalls with OS calls failing on a random plan, each followed by a clean
// reinstall. Whatever the faults: no crash and no hang; nothing left
// allocated and no printer or service handle left open; every product printer
// that had a SubKey is back after the clean run with its SubKey, comment and
// location, and the default printer with it; and a faulty run that could not
// bring a printer back as it was logged an error.
//
// Its spooler plays Windows' documented rules where Wine's is lenient: it
// keeps security descriptors, refuses an owner outside the caller's token and
// a SACL without SeSecurityPrivilege, and answers NERR_ServerNotStarted to
// sharing for the first runs of some seeds. No product printer is ever made,
// shared or published open to more than its saved access list; a change an
// administrator makes between two runs is kept; what is owed is applied once
// it can be, and nothing stays in transit or owed. The power may go during a
// run or after it: each hive then comes back as last flushed, and the next
// install still brings every printer back whole.
//
// Runs in-process against the real spooler of the Wine prefix it is started
// in, with the product laid out in C:\Zantorelle (tests/chaos/run.sh does
// both). Every entry of the OS tables can fail, the nth time it is called;
// sleeps and waits return at once and the spooler service is scripted, so no
// seed waits for real.
//
//   reinstall_chaos.exe [--seeds N] [--first SEED] [--verbose]
//
// Prints each violation with its seed and plan, then one line:
//   chaos: 1000 seeds, 0 violations, 412.3 s (... 312 power cuts)
// and exits 0 when there was none.
#include <windows.h>
#include <lmerr.h>
#include <sddl.h>
#include <winspool.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "app/entry.h"
#include "core/advapi_api.h"
#include "app/procedures.h"
#include "app/runs.h"
#include "core/session_api.h"
#include "app/user_steps.h"
#include "core/user_api.h"
#include "core/counted_string.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "files/pending_value.h"
#include "core/advapi_api.h"
#include "spooler/printer_journal.h"
#include "spooler/printer_record.h"
#include "spooler/winspool_api.h"
#include "support/test_support.h"
#include "core/session_api.h"

namespace {

// ---- the fault plan -------------------------------------------------------------

// Failures as the system reports them, never an answer a caller takes for a
// normal outcome (a missing value, a full buffer).
constexpr DWORD kFailureCodes[] = {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY, ERROR_GEN_FAILURE,
                                   RPC_S_SERVER_UNAVAILABLE};
constexpr int kMaxFaults = 4;

struct Fault {
    int slot;
    long nth;
    DWORD code;
};

// The power model: what is on disk of each hive, the SOFTWARE hive (the
// product's keys) and the spooler's record, is what it was at its last flush.
enum Hive { kSoftware, kSpooler, kHives };

struct Plan {
    Fault faults[kMaxFaults];
    int count;
    long cutAt;     // the power goes at this call of the run (0: not during it)
    bool cutAfter;  // or right after the run
    // When Windows' lazy writer flushes each hive: the SOFTWARE hive at the
    // nth call of the run, the spooler's record before its nth printer is
    // deleted or added.
    long lazyAt[kHives];
    bool kept[kHives];  // a hive that was written out just before the cut
};

Plan plan = {};
std::vector<long> calls;
long runCalls = 0;
long spoolerWrites = 0;
std::vector<char> writesSpooler;
long faultsFired = 0;
void (*flushHive)(Hive) = nullptr;

bool ShouldFail(int slot, DWORD& code) {
    long n = ++calls[slot];
    // After the cut the machine is off: nothing more changes.
    if (++runCalls >= plan.cutAt && plan.cutAt) {
        code = ERROR_NOT_READY;
        return true;
    }
    spoolerWrites += writesSpooler[slot];
    if (runCalls == plan.lazyAt[kSoftware]) {
        flushHive(kSoftware);
    }
    if (writesSpooler[slot] && spoolerWrites == plan.lazyAt[kSpooler]) {
        flushHive(kSpooler);
    }
    for (int i = 0; i < plan.count; ++i) {
        if (plan.faults[i].slot == slot && plan.faults[i].nth == n) {
            code = plan.faults[i].code;
            ++faultsFired;
            return true;
        }
    }
    return false;
}

// How a failing call answers: most with FALSE or null and the last error;
// registry and printer-data calls with the status itself; waits with
// WAIT_FAILED; DocumentPropertiesW with a negative size and the last error;
// CreateFileW with INVALID_HANDLE_VALUE, GetFileAttributesW with
// INVALID_FILE_ATTRIBUTES (all bits set: a null handle or no attributes
// would pass for a success).
enum class Answer { Usual, Status, WaitFailed, Negative, AllOnes };
template <auto Member>
constexpr Answer kAnswer = Answer::Usual;
template <>
constexpr Answer kAnswer<&WinspoolApi::GetPrinterDataA> = Answer::Status;
template <>
constexpr Answer kAnswer<&WinspoolApi::GetPrinterDataExA> = Answer::Status;
template <>
constexpr Answer kAnswer<&WinspoolApi::SetPrinterDataA> = Answer::Status;
template <>
constexpr Answer kAnswer<&WinspoolApi::SetPrinterDataExA> = Answer::Status;
template <>
constexpr Answer kAnswer<&WinspoolApi::EnumPrinterKeyW> = Answer::Status;
template <>
constexpr Answer kAnswer<&WinspoolApi::EnumPrinterDataExW> = Answer::Status;
template <>
constexpr Answer kAnswer<&WinspoolApi::SetPrinterDataExW> = Answer::Status;
template <>
constexpr Answer kAnswer<&WinspoolApi::DocumentPropertiesW> = Answer::Negative;
template <>
constexpr Answer kAnswer<&AdvapiApi::GetSecurityInfo> = Answer::Status;
template <>
constexpr Answer kAnswer<&KernelApi::WaitForSingleObject> = Answer::WaitFailed;
template <>
constexpr Answer kAnswer<&KernelApi::CreateFileW> = Answer::AllOnes;
template <>
constexpr Answer kAnswer<&KernelApi::GetFileAttributesW> = Answer::AllOnes;

template <auto Member, typename R>
R Failed(DWORD code) {
    SetLastError(code);
    if constexpr (kAnswer<Member> == Answer::Negative) {
        return static_cast<R>(-1);
    } else if constexpr (kAnswer<Member> == Answer::Status || std::is_same_v<R, LONG>) {
        return static_cast<R>(code);
    } else if constexpr (kAnswer<Member> == Answer::WaitFailed) {
        return WAIT_FAILED;
    } else if constexpr (kAnswer<Member> == Answer::AllOnes && std::is_pointer_v<R>) {
        return reinterpret_cast<R>(static_cast<INT_PTR>(-1));
    } else if constexpr (kAnswer<Member> == Answer::AllOnes) {
        return static_cast<R>(-1);
    } else if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else if constexpr (std::is_same_v<R, INT_PTR>) {
        return -1;
    } else {
        return R{};
    }
}

// One entry of an OS table, wrapped: the nth call fails when the plan says so.
template <auto Table, auto Member>
struct Slot;

template <typename T, T* Table, typename R, typename... A, R (*T::*Member)(A...)>
struct Slot<Table, Member> {
    static inline R (*real)(A...) = nullptr;
    static inline int id = -1;

    static R WINAPI Call(A... args) {
        DWORD code = 0;
        if (ShouldFail(id, code)) {
            return Failed<Member, R>(code);
        }
        return real(args...);
    }
    static void Install(int slot) {
        id = slot;
        real = Table->*Member;
        Table->*Member = &Call;
    }
    static void Remove() { Table->*Member = real; }
};

struct SlotInfo {
    const char* name;
    void (*install)(int);
    void (*remove)();
};

// An entry the harness may fail gets a slot; the others are listed with
// none, so that the list below is every OS list whole.
template <bool Faulted, auto Table, auto Member>
constexpr SlotInfo Entry(const char* name) {
    if constexpr (Faulted) {
        return {name, &Slot<Table, Member>::Install, &Slot<Table, Member>::Remove};
    } else {
        return {name, nullptr, nullptr};
    }
}

// Every entry of the OS lists, from the lists themselves: what a run may
// call is faulted as soon as its list names it. Not faulted (kKept): the
// string helpers, the last error, the clocks, the frees, closes and releases
// (a failed release is a leak by definition) and GetProcAddress (used when
// the tables are bound).
#define ENTRY(table, Api, name, kind) \
    Entry<((kind)&kFaulted) != 0, &table, &Api::name>(#table "." #name),
#define KERNEL_ENTRY(name, kind) ENTRY(kernel, KernelApi, name, kind)
#define ADVAPI_ENTRY(name, kind) ENTRY(advapi, AdvapiApi, name, kind)
#define USER_ENTRY(name, kind) ENTRY(user, UserApi, name, kind)
#define SHELL_ENTRY(name, kind) ENTRY(shell, ShellApi, name, kind)
#define USERENV_ENTRY(name, kind) ENTRY(userenv, UserenvApi, name, kind)
#define WTSAPI_ENTRY(name, kind) ENTRY(wtsapi, WtsapiApi, name, kind)
#define WINSPOOL_ENTRY(name, kind) ENTRY(winspool, WinspoolApi, name, kind)
#define VERSION_ENTRY(name, kind) ENTRY(version, VersionApi, name, kind)
const SlotInfo kSlots[] = {KERNEL32_CALLS(KERNEL_ENTRY) ADVAPI32_CALLS(ADVAPI_ENTRY)
                               USER32_CALLS(USER_ENTRY) SHELL32_CALLS(SHELL_ENTRY)
                                   USERENV_CALLS(USERENV_ENTRY) WTSAPI32_CALLS(WTSAPI_ENTRY)
                                       WINSPOOL_CALLS(WINSPOOL_ENTRY) VERSION_CALLS(VERSION_ENTRY)};
constexpr int kSlotCount = sizeof(kSlots) / sizeof(kSlots[0]);
int flushSlot = 0;

class FaultLayer {
public:
    FaultLayer() {
        calls.assign(kSlotCount, 0);
        writesSpooler.assign(kSlotCount, 0);
        for (int i = 0; i < kSlotCount; ++i) {
            if (kSlots[i].install) {
                kSlots[i].install(i);
            }
            std::string name = kSlots[i].name;
            writesSpooler[i] = name == "winspool.DeletePrinter" || name == "winspool.AddPrinterW";
            flushSlot = name == "advapi.RegFlushKey" ? i : flushSlot;
        }
    }
    ~FaultLayer() {
        for (int i = kSlotCount - 1; i >= 0; --i) {
            if (kSlots[i].remove) {
                kSlots[i].remove();
            }
        }
    }
    FaultLayer(const FaultLayer&) = delete;
    FaultLayer& operator=(const FaultLayer&) = delete;
};

// ---- the world around a run: no waits, a scripted service, no tray program ------

constexpr wchar_t kInstaller[] = L"C:\\Zantorelle\\Setup\\zrlsetup.exe";
constexpr wchar_t kTrayProgram[] = L"C:\\Zantorelle\\zantray.exe";
constexpr wchar_t kTrayOriginal[] = L"C:\\Zantorelle\\zantray.exe.original";
// The harness's current folder: a run that cannot resolve a folder must not
// write into this one instead.
constexpr wchar_t kCurrentFolder[] = L"C:\\chaos-current";

KernelApi realKernel;
AdvapiApi realAdvapi;
WinspoolApi realSpooler;
WtsapiApi realWtsapi;

// A printer's security descriptor as SDDL parts ("O:BA", "G:SY", "D:(...)",
// "S:(...)"); a part the descriptor lacks is empty.
struct Security {
    std::wstring owner;
    std::wstring group;
    std::wstring dacl;
    std::wstring sacl;
    bool operator==(const Security&) const = default;
};

struct World {
    static inline DWORD serviceState = SERVICE_RUNNING;
    static inline long printersOpen;
    static inline long servicesOpen;
    static inline std::wstring dialogLog;
    // Wine's spooler keeps no security descriptors and refuses no owner, SACL
    // or share: this one plays Windows' documented rules (below), keeping the
    // descriptors by printer name and each handle's access.
    static inline std::map<HANDLE, std::wstring> names;
    static inline std::map<HANDLE, ACCESS_MASK> access;
    static inline std::map<std::wstring, Security> security;
    static inline Security newPrinter;
    static inline std::wstring tokenUser;  // "O:" and the harness's own account
    static inline bool privilegeHeld;      // SeSecurityPrivilege, in this seed's token
    static inline bool privilegeEnabled;
    static inline bool privilegeMayFail;  // the plan fails a call that enables it
    static inline int run;                // of the seed, from 0
    static inline int serverStartsAtRun;
    // The access list each product printer was saved with, and the last print
    // defaults a driver gave out for each printer.
    static inline std::map<std::wstring, std::wstring> savedDacl;
    static inline std::map<std::wstring, std::vector<BYTE>> merged;
    static inline std::vector<std::string> breaches;
};

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out += c < 128 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::wstring Text(const wchar_t* text) {
    return text ? text : L"";
}

std::vector<BYTE> SecurityOf(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG bytes = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                              &bytes)) {
        return {};
    }
    std::vector<BYTE> copy(static_cast<BYTE*>(sd), static_cast<BYTE*>(sd) + bytes);
    LocalFree(sd);
    return copy;
}

std::wstring Part(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION which) {
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, which, &text,
                                                              nullptr)) {
        return L"?";
    }
    std::wstring part = text;
    LocalFree(text);
    return part;
}

Security PartsOf(PSECURITY_DESCRIPTOR sd) {
    Security parts;
    PSID sid = nullptr;
    PACL acl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (GetSecurityDescriptorOwner(sd, &sid, &defaulted) && sid) {
        parts.owner = Part(sd, OWNER_SECURITY_INFORMATION);
    }
    if (GetSecurityDescriptorGroup(sd, &sid, &defaulted) && sid) {
        parts.group = Part(sd, GROUP_SECURITY_INFORMATION);
    }
    if (GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted) && present) {
        parts.dacl = Part(sd, DACL_SECURITY_INFORMATION);
    }
    if (GetSecurityDescriptorSacl(sd, &present, &acl, &defaulted) && present) {
        parts.sacl = Part(sd, SACL_SECURITY_INFORMATION);
    }
    return parts;
}

std::wstring Sddl(const Security& parts) {
    return parts.owner + parts.group + parts.dacl + parts.sacl;
}

// The parts as the system writes them back, so that two can be compared.
Security Normalized(const std::wstring& sddl) {
    std::vector<BYTE> sd = SecurityOf(sddl);
    return sd.empty() ? Security{L"?", L"", L"", L""} : PartsOf(sd.data());
}

ACL* AclOf(std::vector<BYTE>& sd) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ACL* acl = nullptr;
    return !sd.empty() && GetSecurityDescriptorDacl(sd.data(), &present, &acl, &defaulted) &&
                   present
               ? acl
               : nullptr;
}

// True when `dacl` allows some account a right that `saved` does not allow it.
bool Wider(const std::wstring& dacl, const std::wstring& saved) {
    std::vector<BYTE> mine = SecurityOf(dacl);
    std::vector<BYTE> theirs = SecurityOf(saved);
    ACL* given = AclOf(mine);
    ACL* kept = AclOf(theirs);
    if (!given) {
        return kept != nullptr;  // no access list: anyone may do anything
    }
    for (DWORD i = 0; i < given->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        GetAce(given, i, reinterpret_cast<void**>(&ace));
        ACCESS_MASK allowed = 0;
        for (DWORD j = 0; kept && j < kept->AceCount; ++j) {
            ACCESS_ALLOWED_ACE* other = nullptr;
            GetAce(kept, j, reinterpret_cast<void**>(&other));
            if (other->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                EqualSid(&ace->SidStart, &other->SidStart)) {
                allowed |= other->Mask;
            }
        }
        if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && (ace->Mask & ~allowed)) {
            return true;
        }
    }
    return false;
}

// A product printer must never be made, shared or published open to more
// than its saved access list allows, not even for a moment.
void CheckNotWider(const std::wstring& name, const std::wstring& dacl, const char* when) {
    auto saved = World::savedDacl.find(name);
    if (saved != World::savedDacl.end() && Wider(dacl, saved->second)) {
        World::breaches.push_back(Narrow(name) + " was " + when +
                                  " with an access list wider than its saved one");
    }
}

// TOKEN_OWNER: an owner must be one of the SIDs of the caller's token, here
// the administrators, SYSTEM and the harness's account.
bool InToken(const std::wstring& owner) {
    return owner == L"O:BA" || owner == L"O:SY" || owner == World::tokenUser;
}

// Sets the parts `sd` holds and keeps the others (SetPrivateObjectSecurity):
// an owner outside the token is ERROR_INVALID_OWNER; a SACL needs a handle
// opened with ACCESS_SYSTEM_SECURITY ("SACL Access Right").
DWORD ApplySecurity(PSECURITY_DESCRIPTOR sd, ACCESS_MASK access, Security& kept) {
    if (!sd || !IsValidSecurityDescriptor(sd)) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    Security given = PartsOf(sd);
    if (!given.owner.empty() && !InToken(given.owner)) {
        return ERROR_INVALID_OWNER;
    }
    if (!given.sacl.empty() && !(access & ACCESS_SYSTEM_SECURITY)) {
        return ERROR_ACCESS_DENIED;
    }
    for (auto [part, from] : {std::pair{&kept.owner, &given.owner},
                              {&kept.group, &given.group},
                              {&kept.dacl, &given.dacl},
                              {&kept.sacl, &given.sacl}}) {
        *part = from->empty() ? *part : *from;
    }
    return ERROR_SUCCESS;
}

// Sharing goes through the Server service: NERR_ServerNotStarted until it
// runs (a deployment at boot), and a share name it cannot take is refused.
DWORD ShareRefusal(const PRINTER_INFO_2W& info) {
    if (!(info.Attributes & PRINTER_ATTRIBUTE_SHARED)) {
        return ERROR_SUCCESS;
    }
    if (World::run < World::serverStartsAtRun) {
        return NERR_ServerNotStarted;
    }
    return info.pShareName && wcspbrk(info.pShareName, L"\"/\\[]:|<>+=;,?*")
               ? ERROR_INVALID_SHARENAME
               : ERROR_SUCCESS;
}

// Print defaults past the device name, which the spooler writes with
// whatever followed it in its buffer.
std::vector<BYTE> BytesOf(const DEVMODEW* dm) {
    const auto* bytes = reinterpret_cast<const BYTE*>(dm);
    return dm ? std::vector<BYTE>(bytes + offsetof(DEVMODEW, dmSpecVersion),
                                  bytes + dm->dmSize + dm->dmDriverExtra)
              : std::vector<BYTE>();
}

// SetPrinter's documentation asks that print defaults be validated through
// DocumentProperties first: what comes is the printer's own or what its
// driver just gave out.
void CheckPrintDefaults(HANDLE printer, const std::wstring& name, const DEVMODEW* dm) {
    if (!dm || BytesOf(dm) == World::merged[name]) {
        return;
    }
    std::vector<BYTE> block(16384);
    DWORD needed = 0;
    if (!realSpooler.GetPrinterW(printer, 2, block.data(), static_cast<DWORD>(block.size()),
                                 &needed) ||
        BytesOf(reinterpret_cast<PRINTER_INFO_2W*>(block.data())->pDevMode) != BytesOf(dm)) {
        World::breaches.push_back(Narrow(name) +
                                  " was given print defaults its driver did not validate");
    }
}

// The harness's own account, as an owner's part.
std::wstring HarnessAccount() {
    HANDLE token = nullptr;
    BYTE user[256];
    DWORD bytes = 0;
    LPWSTR text = nullptr;
    std::wstring owner;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, user, sizeof(user), &bytes) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &text)) {
        owner = Normalized(L"O:" + std::wstring(text)).owner;
        LocalFree(text);
    }
    CloseHandle(token);
    return owner;
}

// A printer AddPrinter is given no descriptor for: the administrators own
// it, and Everyone may print.
constexpr wchar_t kNewPrinterSddl[] = L"O:BAG:SYD:(A;;0x8;;;WD)(A;;GA;;;BA)(A;;GA;;;SY)";

VOID WINAPI NoSleep(DWORD) {}

DWORD WINAPI NoModuleName(HMODULE, LPWSTR path, DWORD chars) {
    lstrcpynW(path, kInstaller, static_cast<int>(chars));
    return static_cast<DWORD>(lstrlenW(path));
}

DWORD WINAPI NoWait(HANDLE object, DWORD) {
    return realKernel.WaitForSingleObject(object, 0);
}

SC_HANDLE WINAPI ServiceManager(LPCWSTR, LPCWSTR, DWORD) {
    ++World::servicesOpen;
    return reinterpret_cast<SC_HANDLE>(0x1000);
}

SC_HANDLE WINAPI SpoolerService(SC_HANDLE, LPCWSTR, DWORD) {
    ++World::servicesOpen;
    return reinterpret_cast<SC_HANDLE>(0x2000);
}

BOOL WINAPI StopService(SC_HANDLE, DWORD, LPSERVICE_STATUS) {
    World::serviceState = SERVICE_STOPPED;
    return TRUE;
}

BOOL WINAPI StartService(SC_HANDLE, DWORD, LPCWSTR*) {
    World::serviceState = SERVICE_RUNNING;
    return TRUE;
}

BOOL WINAPI QueryService(SC_HANDLE, LPSERVICE_STATUS status) {
    status->dwCurrentState = World::serviceState;
    return TRUE;
}

BOOL WINAPI ServiceConfig(SC_HANDLE, LPQUERY_SERVICE_CONFIGW config, DWORD, LPDWORD) {
    config->dwStartType = SERVICE_AUTO_START;
    return TRUE;
}

BOOL WINAPI CloseService(SC_HANDLE) {
    --World::servicesOpen;
    return TRUE;
}

// OpenPrinter grants ACCESS_SYSTEM_SECURITY only while SeSecurityPrivilege
// is enabled in the caller's token ("SACL Access Right").
BOOL WINAPI OpenCountedPrinter(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
    ACCESS_MASK access = defaults ? defaults->DesiredAccess : PRINTER_ACCESS_USE;
    if ((access & ACCESS_SYSTEM_SECURITY) && !World::privilegeEnabled) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    PRINTER_DEFAULTSW plain = defaults ? *defaults : PRINTER_DEFAULTSW{};
    plain.DesiredAccess &= ~ACCESS_SYSTEM_SECURITY;
    BOOL opened = realSpooler.OpenPrinterW(name, printer, defaults ? &plain : nullptr);
    World::printersOpen += opened ? 1 : 0;
    if (opened && name) {
        World::names[*printer] = name;
        World::access[*printer] = access;
    }
    return opened;
}

// AddPrinter keeps the parts of the descriptor it is given and takes the
// rest from the spooler's default, which lets Everyone print.
HANDLE WINAPI AddCountedPrinter(LPWSTR server, DWORD level, LPBYTE info) {
    const auto* wanted = reinterpret_cast<PRINTER_INFO_2W*>(info);
    std::wstring name = wanted->pPrinterName;
    Security made = World::newPrinter;
    ACCESS_MASK access =
        PRINTER_ALL_ACCESS | (World::privilegeEnabled ? ACCESS_SYSTEM_SECURITY : 0);
    DWORD refusal = wanted->pSecurityDescriptor
                        ? ApplySecurity(wanted->pSecurityDescriptor, access, made)
                        : ERROR_SUCCESS;
    refusal = refusal ? refusal : ShareRefusal(*wanted);
    if (refusal) {
        SetLastError(refusal);
        return nullptr;
    }
    HANDLE printer = realSpooler.AddPrinterW(server, level, info);
    World::printersOpen += printer ? 1 : 0;
    if (printer) {
        World::names[printer] = name;
        World::access[printer] = access;
        World::security[name] = made;
        CheckNotWider(name, made.dacl, "made");
    }
    return printer;
}

BOOL WINAPI CloseCountedPrinter(HANDLE printer) {
    --World::printersOpen;
    World::names.erase(printer);
    return realSpooler.ClosePrinter(printer);
}

// Level 3 from the kept descriptors, with the spooler's two-call size
// protocol; the SACL only to a handle opened with ACCESS_SYSTEM_SECURITY.
BOOL WINAPI GetPrinterKeepingSecurity(HANDLE printer, DWORD level, LPBYTE block, DWORD bytes,
                                      LPDWORD needed) {
    auto kept = World::security.find(World::names[printer]);
    if (level != 3 || kept == World::security.end()) {
        return realSpooler.GetPrinterW(printer, level, block, bytes, needed);
    }
    Security shown = kept->second;
    shown.sacl = World::access[printer] & ACCESS_SYSTEM_SECURITY ? shown.sacl : L"";
    std::vector<BYTE> sd = SecurityOf(Sddl(shown));
    *needed = static_cast<DWORD>(sizeof(PRINTER_INFO_3) + sd.size());
    if (bytes < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    CopyMemory(block + sizeof(PRINTER_INFO_3), sd.data(), sd.size());
    reinterpret_cast<PRINTER_INFO_3*>(block)->pSecurityDescriptor = block + sizeof(PRINTER_INFO_3);
    return TRUE;
}

DWORD SetLevel2(HANDLE printer, const std::wstring& name, PRINTER_INFO_2W& info, Security& kept) {
    DWORD refusal = info.pSecurityDescriptor
                        ? ApplySecurity(info.pSecurityDescriptor, World::access[printer], kept)
                        : ERROR_SUCCESS;
    refusal = refusal ? refusal : ShareRefusal(info);
    if (!refusal && (info.Attributes & PRINTER_ATTRIBUTE_SHARED)) {
        CheckNotWider(name, kept.dacl, "shared");
    }
    if (!refusal) {
        CheckPrintDefaults(printer, name, info.pDevMode);
    }
    return refusal;
}

BOOL WINAPI SetPrinterKeepingSecurity(HANDLE printer, DWORD level, LPBYTE info, DWORD command) {
    std::wstring name = World::names[printer];
    auto kept = World::security.find(name);
    DWORD refusal = ERROR_SUCCESS;
    if (kept != World::security.end() && level == 3) {
        refusal = ApplySecurity(reinterpret_cast<PRINTER_INFO_3*>(info)->pSecurityDescriptor,
                                World::access[printer], kept->second);
        SetLastError(refusal);
        return refusal == ERROR_SUCCESS;
    }
    if (kept != World::security.end() && level == 2) {
        Security before = kept->second;
        refusal = SetLevel2(printer, name, *reinterpret_cast<PRINTER_INFO_2W*>(info), kept->second);
        kept->second = refusal ? before : kept->second;
    }
    if (kept != World::security.end() && level == 7 &&
        (reinterpret_cast<PRINTER_INFO_7W*>(info)->dwAction & DSPRINT_PUBLISH)) {
        CheckNotWider(name, kept->second.dacl, "published");
    }
    if (refusal) {
        SetLastError(refusal);
        return FALSE;
    }
    return realSpooler.SetPrinterW(printer, level, info, command);
}

LONG WINAPI MergingPrintDefaults(HWND window, HANDLE printer, LPWSTR device, PDEVMODEW out,
                                 PDEVMODEW in, DWORD mode) {
    LONG answer = realSpooler.DocumentPropertiesW(window, printer, device, out, in, mode);
    if (answer == IDOK && out && (mode & DM_OUT_BUFFER)) {
        World::merged[printer ? World::names[printer] : Text(device)] = BytesOf(out);
    }
    return answer;
}

BOOL WINAPI DeletePrinterKeepingSecurity(HANDLE printer) {
    BOOL deleted = realSpooler.DeletePrinter(printer);
    if (deleted) {
        World::security.erase(World::names[printer]);
    }
    return deleted;
}

// AdjustTokenPrivileges enables only what the token holds, and answers TRUE
// for the rest too, with ERROR_NOT_ALL_ASSIGNED; PreviousState lists what it
// changed.
BOOL WINAPI AdjustPrivileges(HANDLE, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD bytes,
                             PTOKEN_PRIVILEGES previous, PDWORD needed) {
    LUID security = {};
    LookupPrivilegeValueW(nullptr, SE_SECURITY_NAME, &security);
    bool asked = disableAll;
    bool enable = false;
    for (DWORD i = 0; !disableAll && state && i < state->PrivilegeCount; ++i) {
        const LUID& luid = state->Privileges[i].Luid;
        if (luid.LowPart == security.LowPart && luid.HighPart == security.HighPart) {
            asked = true;
            enable = (state->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
    }
    bool was = World::privilegeEnabled;
    World::privilegeEnabled = asked ? enable && World::privilegeHeld : was;
    bool changed = was != World::privilegeEnabled;
    if (needed) {
        *needed = sizeof(TOKEN_PRIVILEGES);
    }
    if (previous && bytes >= sizeof(TOKEN_PRIVILEGES)) {
        previous->PrivilegeCount = changed ? 1 : 0;
        previous->Privileges[0] = {security, was ? SE_PRIVILEGE_ENABLED : 0u};
    }
    SetLastError(enable && !World::privilegeHeld ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
    return TRUE;
}

// The tray program is not started: the harness would collect one per run.
BOOL WINAPI NoTrayProcess(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                          DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

BOOL WINAPI NoTrayProcessAsUser(HANDLE, DWORD, LPCWSTR, LPWSTR, DWORD, LPVOID, LPCWSTR,
                                LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

// Every other seed runs as SYSTEM, with session 0 (no user) and Wine's user in
// session 1, whose steps run in-process, their spooler calls faultable too.
struct Users {
    static inline bool asSystem;
    static inline DWORD exitCode;
    static inline size_t printersAtStart;
    static inline bool askedLate;
    // The user's own default printer: on Windows another account's than the
    // installer's, here a store of its own, so that the steps leave the
    // installer's default (which the checks follow) alone.
    static inline std::wstring defaultPrinter;
};

std::vector<std::wstring> PrinterNames();

BOOL WINAPI AccountOfSeed(HANDLE token, TOKEN_INFORMATION_CLASS type, void* info, DWORD bytes,
                          DWORD* needed) {
    if (!Users::asSystem || type != TokenUser) {
        return realAdvapi.GetTokenInformation(token, type, info, bytes, needed);
    }
    DWORD sidBytes = SECURITY_MAX_SID_SIZE;
    static_cast<TOKEN_USER*>(info)->User.Sid = static_cast<TOKEN_USER*>(info) + 1;
    return CreateWellKnownSid(WinLocalSystemSid, nullptr, static_cast<TOKEN_USER*>(info) + 1,
                              &sidBytes);
}

WTS_SESSION_INFOW signedIn[] = {{0, nullptr, WTSDisconnected}, {1, nullptr, WTSActive}};

BOOL WINAPI UserDefault(LPWSTR name, LPDWORD chars) {
    DWORD needed = static_cast<DWORD>(Users::defaultPrinter.size() + 1);
    bool fits = *chars >= needed;
    SetLastError(Users::defaultPrinter.empty() ? ERROR_FILE_NOT_FOUND : ERROR_INSUFFICIENT_BUFFER);
    *chars = needed;
    return fits && needed > 1 && lstrcpyW(name, Users::defaultPrinter.c_str());
}

// A user asked for the default printer after a product printer went is a violation.
BOOL WINAPI StepInProcess(HANDLE, LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                          LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                          LPPROCESS_INFORMATION process) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(commandLine, &argc);
    Users::askedLate |=
        wcscmp(argv[1], kDefaultStepWord) == 0 && PrinterNames().size() < Users::printersAtStart;
    WinspoolApi installers = winspool;
    winspool.GetDefaultPrinterW = &UserDefault;
    winspool.SetDefaultPrinterW = [](LPCWSTR name) -> BOOL {
        Users::defaultPrinter = name;
        return TRUE;
    };
    Users::exitCode = static_cast<DWORD>(DispatchCommand(argc, argv));
    winspool.GetDefaultPrinterW = installers.GetDefaultPrinterW;
    winspool.SetDefaultPrinterW = installers.SetDefaultPrinterW;
    LocalFree(argv);
    process->hProcess = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    process->hThread = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    return TRUE;
}

INT_PTR WINAPI NoDialog(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM run) {
    World::dialogLog = CountedText(reinterpret_cast<const InstallRun*>(run)->logText);
    return -1;
}

SHORT WINAPI NoShift(int) {
    return 0;
}

void SetUpWorld() {
    realKernel = kernel;
    realAdvapi = advapi;
    realSpooler = winspool;
    realWtsapi = wtsapi;
    World::tokenUser = HarnessAccount();
    World::newPrinter = Normalized(kNewPrinterSddl);
    kernel.Sleep = &NoSleep;
    kernel.GetModuleFileNameW = &NoModuleName;
    kernel.WaitForSingleObject = &NoWait;
    kernel.CreateProcessW = &NoTrayProcess;
    advapi.CreateProcessWithTokenW = &NoTrayProcessAsUser;
    advapi.OpenSCManagerW = &ServiceManager;
    advapi.OpenServiceW = &SpoolerService;
    advapi.ControlService = &StopService;
    advapi.StartServiceW = &StartService;
    advapi.QueryServiceStatus = &QueryService;
    advapi.CloseServiceHandle = &CloseService;
    advapi.QueryServiceConfigW = &ServiceConfig;
    winspool.OpenPrinterW = &OpenCountedPrinter;
    winspool.AddPrinterW = &AddCountedPrinter;
    winspool.ClosePrinter = &CloseCountedPrinter;
    winspool.GetPrinterW = &GetPrinterKeepingSecurity;
    winspool.SetPrinterW = &SetPrinterKeepingSecurity;
    winspool.DeletePrinter = &DeletePrinterKeepingSecurity;
    winspool.DocumentPropertiesW = &MergingPrintDefaults;
    advapi.AdjustTokenPrivileges = &AdjustPrivileges;
    user.DialogBoxParamW = &NoDialog;
    user.GetAsyncKeyState = &NoShift;
    advapi.GetTokenInformation = &AccountOfSeed;
    wtsapi.WTSEnumerateSessionsW = [](HANDLE, DWORD, DWORD, WTS_SESSION_INFOW** info,
                                      DWORD* count) -> BOOL {
        *info = signedIn;
        *count = 2;
        return TRUE;
    };
    // The harness's own session list is no system memory.
    wtsapi.WTSFreeMemory = [](void* memory) {
        if (memory != signedIn) {
            realWtsapi.WTSFreeMemory(memory);
        }
    };
    wtsapi.WTSQueryUserToken = [](ULONG session, HANDLE* token) -> BOOL {
        SetLastError(ERROR_NO_TOKEN);
        return session && realWtsapi.WTSQueryUserToken(session, token);
    };
    advapi.CreateProcessAsUserW = &StepInProcess;
    kernel.GetExitCodeProcess = [](HANDLE, DWORD* code) -> BOOL {
        *code = Users::exitCode;
        return TRUE;
    };
    kernel.TerminateProcess = [](HANDLE, UINT) -> BOOL { return TRUE; };
}

// ---- the printers a seed starts from ----------------------------------------------

constexpr wchar_t kOtherDriver[] = L"Chaos Generic";
constexpr wchar_t kOtherPrinter[] = L"Chaos Other";
constexpr wchar_t kLostPrinter[] = L"Chaos Lost";
constexpr wchar_t kWindowsKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

constexpr wchar_t kDamagedEntry[] = L"Chaos Damaged";
constexpr wchar_t kPrintersKey[] = L"System\\CurrentControlSet\\Control\\Print\\Printers\\";
// The stand-in driver's DEVMODE version; print defaults of another version
// are merged through it.
constexpr WORD kDriverVersion = 0x0100;
constexpr WORD kOlderDriverVersion = 0x00F0;
// What a user or an administrator sets on a printer and Wine keeps (publishing
// needs a directory, which Wine has not).
constexpr DWORD kRandomAttributes[] = {PRINTER_ATTRIBUTE_QUEUED,
                                       PRINTER_ATTRIBUTE_DIRECT,
                                       PRINTER_ATTRIBUTE_ENABLE_DEVQ,
                                       PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS,
                                       PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST,
                                       PRINTER_ATTRIBUTE_WORK_OFFLINE,
                                       PRINTER_ATTRIBUTE_ENABLE_BIDI,
                                       PRINTER_ATTRIBUTE_RAW_ONLY};
constexpr DWORD kComparedAttributes =
    PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_DIRECT | PRINTER_ATTRIBUTE_ENABLE_DEVQ |
    PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS | PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST |
    PRINTER_ATTRIBUTE_WORK_OFFLINE | PRINTER_ATTRIBUTE_ENABLE_BIDI | PRINTER_ATTRIBUTE_RAW_ONLY |
    PRINTER_ATTRIBUTE_SHARED;

// What a product printer must come back with. An earlier build's journal
// entry carries only the SubKey, comment, location and default mark.
struct Printer {
    bool operator==(const Printer&) const = default;
    std::string subKey;
    std::wstring comment;
    std::wstring location;
    bool whole;
    std::wstring share;
    DWORD attributes;
    DWORD priority;
    DWORD defaultPriority;
    DWORD startTime;
    DWORD untilTime;
    std::wstring sepFile;
    std::wstring datatype;
    std::wstring parameters;
    short paper;
    short orientation;
    short copies;
    WORD driverVersion;           // after the reinstall
    Security security;            // as saved
    bool shareRefused;            // a share name the Server service refuses for good
    std::set<std::wstring> data;  // "key\value type:bytes", the SubKey's left out
};

struct Expected {
    std::map<std::wstring, Printer> printers;
    std::wstring defaultPrinter;  // empty: none to check
    // An entry no build can read, as it was written: empty name, none.
    std::wstring damagedEntry;
    DWORD damagedType;
    std::vector<BYTE> damagedData;
};

struct Random {
    unsigned long long state;
    unsigned Next(unsigned bound) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<unsigned>((state >> 33) % bound);
    }
};

HANDLE OpenAdministered(const std::wstring& name) {
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    realSpooler.OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &printer, &access);
    return printer;
}

std::string SubKeyOf(HANDLE printer) {
    char text[kSubKeyBytes] = {};
    DWORD type = 0;
    DWORD needed = 0;
    auto* data = reinterpret_cast<BYTE*>(text);
    if (realSpooler.GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type, data, sizeof(text),
                                    &needed) == ERROR_SUCCESS ||
        realSpooler.GetPrinterDataExA(printer, "DsUser", "SubKey", &type, data, sizeof(text),
                                      &needed) == ERROR_SUCCESS) {
        return text;
    }
    return "";
}

std::wstring DataLine(const std::wstring& key, const std::wstring& value, DWORD type,
                      const BYTE* data, DWORD bytes) {
    std::wstring line = key + L"\\" + value + L" " + std::to_wstring(type) + L":";
    for (DWORD i = 0; i < bytes; ++i) {
        wchar_t hex[4];
        swprintf(hex, 4, L"%02x", data[i]);
        line += hex;
    }
    return line;
}

bool IsSubKeyValue(const std::wstring& key, const std::wstring& value) {
    return (_wcsicmp(key.c_str(), L"PrinterDriverData") == 0 ||
            _wcsicmp(key.c_str(), L"DsUser") == 0) &&
           _wcsicmp(value.c_str(), L"SubKey") == 0;
}

// Every printer-data value below `path` (Wine keeps them in the registry).
void CollectData(HKEY root, const std::wstring& path, const std::wstring& key,
                 std::set<std::wstring>& data) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        return;
    }
    wchar_t name[256];
    std::vector<BYTE> value(65536);
    for (DWORD i = 0;; ++i) {
        DWORD chars = 256;
        DWORD bytes = static_cast<DWORD>(value.size());
        DWORD type = 0;
        if (!key.empty() && RegEnumValueW(opened, i, name, &chars, nullptr, &type, value.data(),
                                          &bytes) == ERROR_SUCCESS) {
            if (!IsSubKeyValue(key, name)) {
                data.insert(DataLine(key, name, type, value.data(), bytes));
            }
            continue;
        }
        break;
    }
    for (DWORD i = 0;; ++i) {
        DWORD chars = 256;
        if (RegEnumKeyExW(opened, i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        CollectData(root, path + L"\\" + name, key.empty() ? name : key + L"\\" + name, data);
    }
    RegCloseKey(opened);
}

// The printer as it is, in the terms of what it must come back with.
bool StateOf(const std::wstring& name, std::wstring& driver, Printer& state) {
    HANDLE printer = OpenAdministered(name);
    if (!printer) {
        return false;
    }
    std::vector<BYTE> block(16384);
    DWORD needed = 0;
    if (realSpooler.GetPrinterW(printer, 2, block.data(), static_cast<DWORD>(block.size()),
                                &needed)) {
        const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(block.data());
        driver = Text(info->pDriverName);
        state.comment = Text(info->pComment);
        state.location = Text(info->pLocation);
        state.share = Text(info->pShareName);
        state.attributes = info->Attributes & kComparedAttributes;
        state.priority = info->Priority;
        state.defaultPriority = info->DefaultPriority;
        state.startTime = info->StartTime;
        state.untilTime = info->UntilTime;
        state.sepFile = Text(info->pSepFile);
        state.datatype = Text(info->pDatatype);
        state.parameters = Text(info->pParameters);
        if (info->pDevMode) {
            state.paper = info->pDevMode->dmPaperSize;
            state.orientation = info->pDevMode->dmOrientation;
            state.copies = info->pDevMode->dmCopies;
            state.driverVersion = info->pDevMode->dmDriverVersion;
        }
    }
    state.subKey = SubKeyOf(printer);
    auto kept = World::security.find(name);
    state.security = kept == World::security.end() ? Security{} : kept->second;
    CollectData(HKEY_LOCAL_MACHINE, kPrintersKey + name, L"", state.data);
    realSpooler.ClosePrinter(printer);
    return true;
}

std::vector<std::wstring> PrinterNames() {
    DWORD needed = 0;
    DWORD count = 0;
    realSpooler.EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 4, nullptr, 0, &needed, &count);
    std::vector<BYTE> block(needed + 16);
    std::vector<std::wstring> names;
    if (realSpooler.EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 4, block.data(), needed, &needed,
                                  &count)) {
        for (DWORD i = 0; i < count; ++i) {
            names.push_back(reinterpret_cast<PRINTER_INFO_4W*>(block.data())[i].pPrinterName);
        }
    }
    return names;
}

std::wstring DefaultPrinter() {
    wchar_t name[MAX_PATH] = {};
    DWORD chars = MAX_PATH;
    return realSpooler.GetDefaultPrinterW(name, &chars) ? name : L"";
}

void DeletePrinterNamed(const std::wstring& name) {
    for (HANDLE printer; (printer = OpenAdministered(name)) != nullptr;) {
        BOOL deleted = realSpooler.DeletePrinter(printer);
        realSpooler.ClosePrinter(printer);
        if (!deleted) {
            return;
        }
    }
}

HANDLE AddPrinterFor(const std::wstring& name, const wchar_t* driver, const wchar_t* port) {
    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(name.c_str());
    info.pPortName = const_cast<LPWSTR>(port);
    info.pDriverName = const_cast<LPWSTR>(driver);
    info.pPrintProcessor = const_cast<LPWSTR>(kPrintProcessor);
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    return winspool_detail::exports.AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
}

const wchar_t* RandomText(Random& random, const wchar_t* text) {
    static const wchar_t* const kEmpty = L"";
    switch (random.Next(3)) {
        case 0:
            return nullptr;
        case 1:
            return kEmpty;
        default:
            return text;
    }
}

// Random values of random types under the driver's key, the user's key and
// keys of the driver's own; sometimes one in the spooler's own key, which the
// new printer does not get.
void RandomData(Random& random, unsigned seed, Printer& printer,
                std::vector<std::pair<std::wstring, std::vector<BYTE>>>& values,
                std::vector<std::pair<std::wstring, DWORD>>& names) {
    const wchar_t* keys[] = {L"PrinterDriverData", L"DsUser", L"Chaos\\Deep", L"ChaosKey"};
    const DWORD types[] = {REG_SZ, REG_DWORD, REG_BINARY, REG_MULTI_SZ};
    unsigned count = random.Next(5);
    for (unsigned i = 0; i < count; ++i) {
        std::wstring key = keys[random.Next(4)];
        std::wstring value = L"v" + std::to_wstring(i);
        DWORD type = types[random.Next(4)];
        std::vector<BYTE> data;
        std::wstring text = L"d" + std::to_wstring(seed) + L"\u00e9" + std::to_wstring(i);
        if (type == REG_SZ || type == REG_MULTI_SZ) {
            text += type == REG_MULTI_SZ ? std::wstring(L"\0b\0", 3) : L"";
            data.assign(reinterpret_cast<const BYTE*>(text.c_str()),
                        reinterpret_cast<const BYTE*>(text.c_str() + text.size() + 1));
        } else {
            for (unsigned n = type == REG_DWORD ? 4 : 1 + random.Next(12); n; --n) {
                data.push_back(static_cast<BYTE>(random.Next(256)));
            }
        }
        printer.data.insert(
            DataLine(key, value, type, data.data(), static_cast<DWORD>(data.size())));
        values.push_back({key + L"\n" + value, data});
        names.push_back({key, type});
    }
    if (random.Next(4) == 0) {
        std::wstring own = L"chaos";
        values.push_back(
            {L"DsSpooler\nown", std::vector<BYTE>(reinterpret_cast<const BYTE*>(own.c_str()),
                                                  reinterpret_cast<const BYTE*>(own.c_str() + 6))});
        names.push_back({L"DsSpooler", REG_SZ});
    }
}

// Everything else a user or an administrator sets on a printer, at random.
void RandomDetails(Random& random, unsigned seed, unsigned k, Printer& printer) {
    printer.whole = true;
    if (random.Next(3) == 0) {
        printer.shareRefused = random.Next(5) == 0;
        printer.share = L"Share" + std::wstring(printer.shareRefused ? L";" : L"") +
                        std::to_wstring(seed) + L"k" + std::to_wstring(k);
        printer.attributes |= PRINTER_ATTRIBUTE_SHARED;
    }
    for (DWORD attribute : kRandomAttributes) {
        printer.attributes |= random.Next(3) == 0 ? attribute : 0;
    }
    printer.priority = 1 + random.Next(99);
    printer.defaultPriority = random.Next(100);
    printer.startTime = random.Next(1440);
    printer.untilTime = random.Next(1440);
    printer.sepFile = random.Next(2) ? L"C:\\chaos" + std::to_wstring(k) + L".sep" : L"";
    printer.datatype = random.Next(2) ? L"RAW" : L"TEXT";
    printer.parameters = random.Next(2) ? L"p=" + std::to_wstring(seed) : L"";
    const short papers[] = {DMPAPER_A4, DMPAPER_LETTER, DMPAPER_LEGAL, DMPAPER_A3};
    printer.paper = papers[random.Next(4)];
    printer.orientation = static_cast<short>(1 + random.Next(2));
    printer.copies = static_cast<short>(1 + random.Next(5));
    printer.driverVersion = kDriverVersion;
    // Owned by the administrators, by SYSTEM or by an account that is gone;
    // open to one group, to the administrators alone, or wide; audited or not.
    const wchar_t* owners[] = {L"O:BA", L"O:SY", L"O:S-1-5-21-1-2-3-1009"};
    const wchar_t* dacls[] = {L"D:(A;;GA;;;BA)", L"D:(A;;0x8;;;BU)(A;;GA;;;BA)",
                              L"D:(A;;0x18;;;WD)(A;;GA;;;BA)", kNewPrinterSddl + 8};
    printer.security =
        Normalized(std::wstring(owners[random.Next(3)]) + (random.Next(2) ? L"G:SY" : L"G:BA") +
                   dacls[random.Next(4)] + (random.Next(3) ? L"" : L"S:(AU;FA;GA;;;WD)"));
}

// The print defaults the driver gave the printer with the chosen settings;
// sometimes those of an older driver, which a reinstall merges.
void PutDevMode(const Printer& printer, WORD version, DEVMODEW& dm) {
    dm.dmFields |= DM_PAPERSIZE | DM_ORIENTATION | DM_COPIES;
    dm.dmPaperSize = printer.paper;
    dm.dmOrientation = printer.orientation;
    dm.dmCopies = printer.copies;
    dm.dmDriverVersion = version;
}

void SetDetails(HANDLE printer, const wchar_t* comment, const wchar_t* location,
                const Printer* details, WORD version) {
    std::vector<BYTE> block(16384);
    DWORD needed = 0;
    if (!realSpooler.GetPrinterW(printer, 2, block.data(), static_cast<DWORD>(block.size()),
                                 &needed)) {
        return;
    }
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(block.data());
    info->pComment = const_cast<LPWSTR>(comment);
    info->pLocation = const_cast<LPWSTR>(location);
    if (details) {
        auto text = [](const std::wstring& t) { return const_cast<LPWSTR>(t.c_str()); };
        info->pShareName = details->share.empty() ? nullptr : text(details->share);
        info->Attributes = details->attributes;
        info->Priority = details->priority;
        info->DefaultPriority = details->defaultPriority;
        info->StartTime = details->startTime;
        info->UntilTime = details->untilTime;
        info->pSepFile = text(details->sepFile);
        info->pDatatype = text(details->datatype);
        info->pParameters = text(details->parameters);
        if (info->pDevMode) {
            PutDevMode(*details, version, *info->pDevMode);
        }
    }
    realSpooler.SetPrinterW(printer, 2, block.data(), 0);
}

void WriteSubKey(HANDLE printer, const std::string& subKey) {
    auto* data = reinterpret_cast<BYTE*>(const_cast<char*>(subKey.c_str()));
    auto bytes = static_cast<DWORD>(subKey.size() + 1);
    realSpooler.SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ, data, bytes);
    realSpooler.SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, data, bytes);
}

void WriteData(HANDLE printer,
               const std::vector<std::pair<std::wstring, std::vector<BYTE>>>& values,
               const std::vector<std::pair<std::wstring, DWORD>>& names) {
    for (size_t i = 0; i < values.size(); ++i) {
        std::wstring value = values[i].first.substr(values[i].first.find(L'\n') + 1);
        realSpooler.SetPrinterDataExW(printer, names[i].first.c_str(), value.c_str(),
                                      names[i].second, const_cast<BYTE*>(values[i].second.data()),
                                      static_cast<DWORD>(values[i].second.size()));
    }
}

// ---- power cuts: a registry write is volatile until its hive is flushed ------------

// One key's values as on disk: name, type and bytes.
struct KeyImage {
    bool exists;
    std::map<std::wstring, std::pair<DWORD, std::vector<BYTE>>> values;
};

struct Disk {
    static inline std::map<HKEY, std::wstring> paths;  // keys the product opened, upper case
    static inline std::map<std::wstring, KeyImage> software;
    static inline std::map<std::wstring, Printer> printers;  // the product's, by name
    static inline std::wstring defaultPrinter;
    static inline long cuts;
};

constexpr const wchar_t* kProductKeys[] = {kJournalKey, kSetAsideKey, kOwedKey};
constexpr const wchar_t* kSpoolerPrefixes[] = {
    L"SYSTEM\\CURRENTCONTROLSET\\CONTROL\\PRINT\\PRINTERS",
    L"SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PRINT\\PRINTERS"};

KeyImage ImageOf(const wchar_t* path) {
    KeyImage image = {};
    HKEY key = nullptr;
    image.exists = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS;
    wchar_t name[256];
    std::vector<BYTE> data(65536);
    for (DWORD i = 0, chars = 256, bytes = 65536, type = 0;
         image.exists &&
         RegEnumValueW(key, i, name, &chars, nullptr, &type, data.data(), &bytes) == ERROR_SUCCESS;
         ++i, chars = 256, bytes = 65536) {
        image.values[name] = {type, std::vector<BYTE>(data.begin(), data.begin() + bytes)};
    }
    RegCloseKey(key);
    return image;
}

void FlushHive(Hive hive) {
    for (const wchar_t* path : kProductKeys) {
        Disk::software[path] = hive == kSoftware ? ImageOf(path) : Disk::software[path];
    }
    if (hive == kSpooler) {
        Disk::printers.clear();
        for (const std::wstring& name : PrinterNames()) {
            std::wstring driver;
            Printer state = {};
            if (StateOf(name, driver, state) && driver == kDriverName) {
                Disk::printers[name] = state;
            }
        }
        Disk::defaultPrinter = DefaultPrinter();
    }
}

// Which HKEY_LOCAL_MACHINE key a handle is; empty for any other.
void NameKey(LSTATUS status, HKEY root, LPCWSTR path, PHKEY key) {
    if (status == ERROR_SUCCESS) {
        std::wstring upper = root == HKEY_LOCAL_MACHINE && path ? path : L"";
        CharUpperW(upper.data());
        Disk::paths[*key] = upper;
    }
}

LSTATUS WINAPI OpenKeyNamed(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) {
    LSTATUS status = realAdvapi.RegOpenKeyExW(root, path, options, access, key);
    NameKey(status, root, path, key);
    return status;
}

LSTATUS WINAPI CreateKeyNamed(HKEY root, LPCWSTR path, DWORD reserved, LPWSTR type, DWORD options,
                              REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY key,
                              LPDWORD disposition) {
    LSTATUS status = realAdvapi.RegCreateKeyExW(root, path, reserved, type, options, access,
                                                security, key, disposition);
    NameKey(status, root, path, key);
    return status;
}

// RegFlushKey writes the whole hive of the key: the product's keys with any
// key of SOFTWARE, the spooler's printers with the key that holds them.
LSTATUS WINAPI FlushKeyToDisk(HKEY key) {
    LSTATUS status = realAdvapi.RegFlushKey(key);
    const std::wstring& path = Disk::paths[key];
    bool spooler =
        path.rfind(kSpoolerPrefixes[0], 0) == 0 || path.rfind(kSpoolerPrefixes[1], 0) == 0;
    if (status == ERROR_SUCCESS && (spooler || path.rfind(L"SOFTWARE\\", 0) == 0)) {
        FlushHive(spooler ? kSpooler : kSoftware);
    }
    return status;
}

// Printer-data lines back into values as the dressing writes them.
void ValuesOf(const std::set<std::wstring>& lines,
              std::vector<std::pair<std::wstring, std::vector<BYTE>>>& values,
              std::vector<std::pair<std::wstring, DWORD>>& names) {
    for (const std::wstring& line : lines) {
        size_t space = line.rfind(L' ');
        size_t slash = line.rfind(L'\\', space);
        size_t colon = line.find(L':', space);
        std::vector<BYTE> data;
        for (size_t i = colon + 1; i + 1 < line.size(); i += 2) {
            data.push_back(static_cast<BYTE>(std::stoul(line.substr(i, 2), nullptr, 16)));
        }
        values.push_back(
            {line.substr(0, slash) + L"\n" + line.substr(slash + 1, space - slash - 1), data});
        names.push_back({line.substr(0, slash), static_cast<DWORD>(std::stoul(
                                                    line.substr(space + 1, colon - space - 1)))});
    }
}

// A printer as the spooler's record on disk holds it.
void Remake(const std::wstring& name, const Printer& state) {
    HANDLE printer = AddPrinterFor(name, kDriverName, kPortName);
    if (!printer) {
        return;
    }
    SetDetails(printer, state.comment.c_str(), state.location.c_str(), &state, state.driverVersion);
    if (!state.subKey.empty()) {
        WriteSubKey(printer, state.subKey);
    }
    std::vector<std::pair<std::wstring, std::vector<BYTE>>> values;
    std::vector<std::pair<std::wstring, DWORD>> names;
    ValuesOf(state.data, values, names);
    WriteData(printer, values, names);
    World::security[name] = state.security;
    realSpooler.ClosePrinter(printer);
}

// The power goes: each hive comes back as last flushed, or as it was when
// Windows happened to have written it out just before.
void CutPower(const Plan& faults) {
    ++Disk::cuts;
    for (const wchar_t* path : kProductKeys) {
        const KeyImage& image = Disk::software[path];
        if (faults.kept[kSoftware]) {
            continue;
        }
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
        HKEY key = nullptr;
        if (image.exists && RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS,
                                            nullptr, &key, nullptr) == 0) {
            for (const auto& [name, value] : image.values) {
                RegSetValueExW(key, name.c_str(), 0, value.first, value.second.data(),
                               static_cast<DWORD>(value.second.size()));
            }
            RegCloseKey(key);
        }
    }
    for (const std::wstring& name :
         faults.kept[kSpooler] ? std::vector<std::wstring>() : PrinterNames()) {
        std::wstring driver;
        Printer state = {};
        auto disk = Disk::printers.find(name);
        if (StateOf(name, driver, state) && driver == kDriverName &&
            (disk == Disk::printers.end() || !(disk->second == state))) {
            DeletePrinterNamed(name);
            World::security.erase(name);
        }
    }
    for (const auto& [name, state] :
         faults.kept[kSpooler] ? decltype(Disk::printers)() : Disk::printers) {
        if (HANDLE there = OpenAdministered(name)) {
            realSpooler.ClosePrinter(there);
        } else {
            Remake(name, state);
        }
    }
    if (!faults.kept[kSpooler] && !Disk::defaultPrinter.empty()) {
        realSpooler.SetDefaultPrinterW(Disk::defaultPrinter.c_str());
    }
}

void SetUpDisk() {
    advapi.RegOpenKeyExW = &OpenKeyNamed;
    advapi.RegCreateKeyExW = &CreateKeyNamed;
    advapi.RegFlushKey = &FlushKeyToDisk;
    flushHive = &FlushHive;
}

void ClearDefault() {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kWindowsKey, L"Device");
}

// A record of the printer as a reinstall journals it.
void JournalRecord(const std::wstring& name, const Printer& printer, bool wasDefault,
                   const std::vector<std::pair<std::wstring, std::vector<BYTE>>>& values,
                   const std::vector<std::pair<std::wstring, DWORD>>& names) {
    RecordWriter record;
    BeginRecord(record);
    std::wstring subKey(printer.subKey.begin(), printer.subKey.end());
    PutText(record, RecordField::SubKey, subKey.c_str());
    PutText(record, RecordField::Comment, printer.comment.c_str());
    PutText(record, RecordField::Location, printer.location.c_str());
    if (wasDefault) {
        PutFlag(record, RecordField::Default);
    }
    PutText(record, RecordField::ShareName, printer.share.c_str());
    PutNumber(record, RecordField::Attributes, printer.attributes);
    PutNumber(record, RecordField::Priority, printer.priority);
    PutNumber(record, RecordField::DefaultPriority, printer.defaultPriority);
    PutNumber(record, RecordField::StartTime, printer.startTime);
    PutNumber(record, RecordField::UntilTime, printer.untilTime);
    PutText(record, RecordField::SepFile, printer.sepFile.c_str());
    PutText(record, RecordField::Datatype, printer.datatype.c_str());
    PutText(record, RecordField::Parameters, printer.parameters.c_str());
    DEVMODEW dm = {};
    lstrcpynW(dm.dmDeviceName, name.c_str(), CCHDEVICENAME);
    dm.dmSpecVersion = DM_SPECVERSION;
    dm.dmDriverVersion = kDriverVersion;
    dm.dmSize = sizeof(dm);
    PutDevMode(printer, kDriverVersion, dm);
    PutBytes(record, RecordField::DevMode, &dm, sizeof(dm));
    std::vector<BYTE> security = SecurityOf(Sddl(printer.security));
    if (!printer.security.dacl.empty()) {
        PutBytes(record, RecordField::Security, security.data(),
                 static_cast<DWORD>(security.size()));
    }
    for (size_t i = 0; i < values.size(); ++i) {
        std::wstring value = values[i].first.substr(values[i].first.find(L'\n') + 1);
        if (names[i].first != L"DsSpooler") {
            PutPrinterData(record, names[i].first.c_str(), value.c_str(), names[i].second,
                           values[i].second.data(), static_cast<DWORD>(values[i].second.size()));
        }
    }
    void* block = nullptr;
    DWORD bytes = 0;
    if (EndRecord(record, block, bytes)) {
        JournalPrinter(name.c_str(), block, bytes);
        FreeGlobal(block);
    }
}

void JournalEarlierBuildsEntry(const std::wstring& name, const Printer& printer, bool wasDefault) {
    std::wstring subKey(printer.subKey.begin(), printer.subKey.end());
    std::wstring strings = L"SubKey=" + subKey + L'\0' + L"Comment=" + printer.comment + L'\0' +
                           (wasDefault ? std::wstring(L"Default=1") + L'\0' : L"") + L'\0';
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    RegSetValueExW(key, name.c_str(), 0, REG_MULTI_SZ,
                   reinterpret_cast<const BYTE*>(strings.data()),
                   static_cast<DWORD>(strings.size() * sizeof(wchar_t)));
    RegCloseKey(key);
}

// A printer only the journal knows: an earlier run was cut off after it took
// it out of the spooler; an earlier build's run left an entry of its own format.
void JournalLostPrinter(Random& random, unsigned seed, bool wasDefault, Expected& expected) {
    Printer lost = {};
    lost.subKey = "lost" + std::to_string(seed);
    lost.comment = L"Lost on the way";
    if (random.Next(3) == 0) {
        JournalEarlierBuildsEntry(kLostPrinter, lost, wasDefault);
    } else {
        RandomDetails(random, seed, 0, lost);
        lost.driverVersion = kDriverVersion;
        std::vector<std::pair<std::wstring, std::vector<BYTE>>> values;
        std::vector<std::pair<std::wstring, DWORD>> names;
        RandomData(random, seed, lost, values, names);
        JournalRecord(kLostPrinter, lost, wasDefault, values, names);
    }
    FlushJournal();
    if (!lost.security.dacl.empty()) {
        World::savedDacl[kLostPrinter] = lost.security.dacl;
    }
    expected.printers[kLostPrinter] = lost;
    if (wasDefault) {
        expected.defaultPrinter = kLostPrinter;
    }
}

// An entry no build can read: reported once, then set aside. It may name a
// printer that is there, which must then be journaled afresh, not lost; its
// record may hold a security descriptor whose owner lies far outside it.
void JournalDamagedEntry(Random& random, Expected& expected) {
    expected.damagedEntry = kDamagedEntry;
    for (const auto& [name, printer] : expected.printers) {
        if (name != kLostPrinter && random.Next(2)) {
            expected.damagedEntry = name;
        }
    }
    DWORD number = 7;
    expected.damagedType = REG_DWORD;
    expected.damagedData.assign(reinterpret_cast<BYTE*>(&number),
                                reinterpret_cast<BYTE*>(&number) + sizeof(number));
    if (random.Next(2)) {
        // As long as an absolute descriptor, so that only its owner gives it away.
        BYTE outside[SECURITY_DESCRIPTOR_MIN_LENGTH] = {};
        SECURITY_DESCRIPTOR_RELATIVE header = {
            SECURITY_DESCRIPTOR_REVISION, 0, SE_SELF_RELATIVE, 0x7FF00000, 0, 0, 0};
        CopyMemory(outside, &header, sizeof(header));
        RecordWriter record;
        BeginRecord(record);
        PutText(record, RecordField::SubKey, L"damaged");
        PutBytes(record, RecordField::Security, outside, sizeof(outside));
        void* block = nullptr;
        DWORD bytes = 0;
        EndRecord(record, block, bytes);
        expected.damagedType = REG_BINARY;
        expected.damagedData.assign(static_cast<BYTE*>(block), static_cast<BYTE*>(block) + bytes);
        FreeGlobal(block);
    }
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    RegSetValueExW(key, expected.damagedEntry.c_str(), 0, expected.damagedType,
                   expected.damagedData.data(), static_cast<DWORD>(expected.damagedData.size()));
    RegCloseKey(key);
}

Expected SetUpPrinters(unsigned seed, Random& random) {
    for (const std::wstring& name : PrinterNames()) {
        DeletePrinterNamed(name);
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSetAsideKey);
    CloseJournal(true);
    ClearDefault();
    World::security.clear();
    World::savedDacl.clear();
    World::merged.clear();
    World::breaches.clear();
    World::run = 0;
    Expected expected = {};
    std::vector<std::wstring> candidates;
    unsigned count = random.Next(5);
    for (unsigned k = 1; k <= count; ++k) {
        std::wstring name = L"Chaos " + std::to_wstring(k);
        HANDLE printer = AddPrinterFor(name, kDriverName, kPortName);
        if (!printer) {
            continue;
        }
        std::wstring comment = L"Room " + std::to_wstring(k) + L" \u00e9";
        const wchar_t* shownComment = RandomText(random, comment.c_str());
        const wchar_t* location = RandomText(random, L"Floor \u00e9");
        Printer printed = {};
        RandomDetails(random, seed, k, printed);
        SetDetails(printer, shownComment, location, &printed,
                   random.Next(4) ? kDriverVersion : kOlderDriverVersion);
        World::security[name] = printed.security;
        World::savedDacl[name] = printed.security.dacl;
        std::vector<std::pair<std::wstring, std::vector<BYTE>>> values;
        std::vector<std::pair<std::wstring, DWORD>> names;
        RandomData(random, seed, printed, values, names);
        WriteData(printer, values, names);
        // One in five has no settings: deleted and not brought back, by design.
        if (random.Next(5) != 0) {
            // Appended: `"c" + std::to_string(seed)` makes GCC 12 at -O3 warn of
            // overlapping copies that cannot happen (-Wrestrict).
            printed.subKey =
                std::string("c").append(std::to_string(seed)).append("k").append(std::to_string(k));
            printed.comment = Text(shownComment);
            printed.location = Text(location);
            WriteSubKey(printer, printed.subKey);
            expected.printers[name] = printed;
            candidates.push_back(name);
        }
        realSpooler.ClosePrinter(printer);
    }
    if (random.Next(2)) {
        HANDLE other = AddPrinterFor(kOtherPrinter, kOtherDriver, L"FILE:");
        if (other) {
            realSpooler.ClosePrinter(other);
            candidates.push_back(kOtherPrinter);
        }
    }
    unsigned choice = random.Next(static_cast<unsigned>(candidates.size()) + 1);
    if (choice < candidates.size()) {
        realSpooler.SetDefaultPrinterW(candidates[choice].c_str());
        expected.defaultPrinter = candidates[choice];
    }
    if (random.Next(4) == 0) {
        JournalLostPrinter(random, seed, expected.defaultPrinter.empty() && random.Next(2),
                           expected);
    }
    if (random.Next(6) == 0) {
        JournalDamagedEntry(random, expected);
    }
    return expected;
}

// ---- runs and what is checked after them --------------------------------------------

struct Outcome {
    bool errors;
    std::wstring log;
    long heapBlocks;
    long globalBlocks;
    long printersOpen;
    long servicesOpen;
};

Outcome Reinstall(const Plan& faults, bool faulty) {
    CopyFileW(kTrayOriginal, kTrayProgram, FALSE);
    World::printersOpen = 0;
    World::servicesOpen = 0;
    World::dialogLog.clear();
    World::privilegeEnabled = false;
    World::merged.clear();
    Outcome outcome = {};
    Users::printersAtStart = PrinterNames().size();
    AllocationCounter blocks;
    {
        FaultLayer layer;
        runCalls = 0;
        spoolerWrites = 0;
        plan = faulty ? faults : Plan{};
        DWORD scheduled = 0;
        outcome.errors = RunWithProcedure(&ReInstall, Command::Install, nullptr, &scheduled);
        plan = Plan{};
    }
    outcome.log = World::dialogLog;
    outcome.heapBlocks = blocks.HeapBlocks();
    outcome.globalBlocks = blocks.GlobalBlocks();
    outcome.printersOpen = World::printersOpen;
    outcome.servicesOpen = World::servicesOpen;
    ++World::run;
    return outcome;
}

std::string PlanText(const Plan& faults) {
    std::string text;
    for (int i = 0; i < faults.count; ++i) {
        const Fault& f = faults.faults[i];
        text += std::string(i ? ", " : "") + kSlots[f.slot].name + " #" + std::to_string(f.nth) +
                " (" + std::to_string(f.code) + ")";
    }
    if (faults.cutAt || faults.cutAfter) {
        text += "; power cut " + (faults.cutAt ? "at call #" + std::to_string(faults.cutAt)
                                               : std::string("after the run"));
        for (Hive hive : {kSoftware, kSpooler}) {
            text += std::string(hive == kSoftware ? ", SOFTWARE " : ", spooler ") +
                    (faults.kept[hive] ? "kept"
                     : faults.lazyAt[hive]
                         ? "as flushed, lazily at #" + std::to_string(faults.lazyAt[hive])
                         : "as flushed");
        }
    }
    return text;
}

long faultyRunsWithErrors = 0;

struct Report {
    unsigned seed;
    const Plan& faults;
    bool verbose;
    int violations;

    void Violation(const std::string& what, const Outcome& run) {
        ++violations;
        printf("seed %u: %s [plan: %s]\n", seed, what.c_str(), PlanText(faults).c_str());
        if (verbose && !run.log.empty()) {
            printf("%s\n", Narrow(run.log).c_str());
        }
        fflush(stdout);
    }
};

void CheckNothingHeld(Report& report, const char* which, const Outcome& run) {
    if (run.heapBlocks || run.globalBlocks || run.printersOpen || run.servicesOpen) {
        report.Violation(
            std::string(which) + " run left heap/global blocks, printer/service " + "handles " +
                std::to_string(run.heapBlocks) + "/" + std::to_string(run.globalBlocks) + ", " +
                std::to_string(run.printersOpen) + "/" + std::to_string(run.servicesOpen),
            run);
    }
}

// The descriptor a printer comes back with: the saved one, but the
// spooler's owner and group where the saved owner is outside the installer's token, and
// no SACL where SeSecurityPrivilege is not held.
Security Restored(const Security& saved) {
    Security back = saved;
    // The spooler refuses the owner and group together.
    back.owner = InToken(saved.owner) ? saved.owner : World::newPrinter.owner;
    back.group = InToken(saved.owner) ? saved.group : World::newPrinter.group;
    back.sacl = World::privilegeHeld ? saved.sacl : L"";
    // A run that could not enable it has not carried the SACL.
    back.sacl = World::privilegeMayFail ? L"?" : back.sacl;
    return back;
}

// Empty when the printer is there as expected, otherwise what differs.
std::string Difference(const std::wstring& name, const Printer& want, bool strict) {
    std::wstring driver;
    Printer state = {};
    if (!StateOf(name, driver, state)) {
        return Narrow(name) + " is missing";
    }
    std::string what;
    auto differs = [&](bool same, const std::string& field) {
        what += same ? "" : std::string(what.empty() ? "" : ", ") + field;
    };
    differs(driver == kDriverName, "driver");
    differs(state.subKey == want.subKey, "SubKey");
    differs(state.comment == want.comment, "comment");
    differs(state.location == want.location, "location");
    if (want.whole) {
        // A printer the run did not take out keeps what a later run drops.
        bool shared = !(want.shareRefused || World::serverStartsAtRun > 0);
        DWORD compared = kComparedAttributes & ~(strict || shared ? 0 : PRINTER_ATTRIBUTE_SHARED);
        differs(!(strict || shared) || state.share == (want.shareRefused ? L"" : want.share),
                "share name");
        differs(
            (state.attributes & compared) ==
                (want.attributes & compared & ~(want.shareRefused ? PRINTER_ATTRIBUTE_SHARED : 0)),
            "attributes");
        differs(state.priority == want.priority && state.defaultPriority == want.defaultPriority,
                "priorities");
        differs(state.startTime == want.startTime && state.untilTime == want.untilTime, "hours");
        differs(state.sepFile == want.sepFile, "separator file");
        differs(state.datatype == want.datatype && state.parameters == want.parameters,
                "datatype or parameters");
        // A printer the run did not take out keeps an older driver's DEVMODE;
        // one it brought back has the driver's own, the settings merged in.
        differs(state.paper == want.paper && state.orientation == want.orientation &&
                    state.copies == want.copies &&
                    (state.driverVersion == want.driverVersion || !strict),
                "print defaults (paper " + std::to_string(state.paper) + ", orientation " +
                    std::to_string(state.orientation) + ", copies " + std::to_string(state.copies) +
                    ", version " + std::to_string(state.driverVersion) + ")");
        Security back = Restored(want.security);
        back.sacl = back.sacl == L"?" ? state.security.sacl : back.sacl;
        differs(
            strict ? state.security == back : state.security.dacl == want.security.dacl,
            "permissions (" + Narrow(Sddl(state.security)) + ", not " + Narrow(Sddl(back)) + ")");
        // The spooler's own key stays with a printer the run did not take
        // out; one it brought back has none of it.
        for (auto line = state.data.begin(); !strict && line != state.data.end();) {
            line = line->rfind(L"DsSpooler\\", 0) == 0 ? state.data.erase(line) : std::next(line);
        }
        differs(state.data == want.data, "printer data");
    }
    return what.empty() ? "" : Narrow(name) + " is back with another " + what;
}

std::string Differences(const Expected& expected, bool strict) {
    std::string text;
    for (const auto& [name, want] : expected.printers) {
        std::string difference = Difference(name, want, strict);
        text += difference.empty() ? "" : (text.empty() ? "" : "; ") + difference;
    }
    if (!expected.defaultPrinter.empty() && DefaultPrinter() != expected.defaultPrinter) {
        text += (text.empty() ? "" : "; ") + std::string("the default printer is '") +
                Narrow(DefaultPrinter()) + "', not '" + Narrow(expected.defaultPrinter) + "'";
    }
    return text;
}

bool KeyIsGone(const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return true;
    }
    RegCloseKey(key);
    return false;
}

bool DamagedEntrySetAside(const Expected& expected) {
    std::vector<BYTE> data(expected.damagedData.size() + 1);
    DWORD type = 0;
    auto bytes = static_cast<DWORD>(data.size());
    return RegGetValueW(HKEY_LOCAL_MACHINE, kSetAsideKey, expected.damagedEntry.c_str(), RRF_RT_ANY,
                        &type, data.data(), &bytes) == ERROR_SUCCESS &&
           type == expected.damagedType &&
           std::vector<BYTE>(data.begin(), data.begin() + bytes) == expected.damagedData;
}

// Empties the current folder; false when there was anything to take away.
bool CurrentFolderWasEmpty() {
    WIN32_FIND_DATAW found;
    std::wstring folder = std::wstring(kCurrentFolder) + L"\\";
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    bool empty = true;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
            empty = false;
            DeleteFileW((folder + found.cFileName).c_str());
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    return empty;
}

bool NoDuplicates() {
    std::vector<std::wstring> names = PrinterNames();
    for (size_t i = 0; i < names.size(); ++i) {
        for (size_t j = i + 1; j < names.size(); ++j) {
            if (CompareStringOrdinal(names[i].c_str(), -1, names[j].c_str(), -1, TRUE) ==
                CSTR_EQUAL) {
                return false;
            }
        }
    }
    return true;
}

Plan MakePlan(Random& random, const std::vector<long>& reach) {
    std::vector<int> reachable;
    for (int i = 0; i < kSlotCount; ++i) {
        if (reach[i] > 0) {
            reachable.push_back(i);
        }
    }
    Plan faults = {};
    faults.count = 1 + static_cast<int>(random.Next(kMaxFaults));
    for (int i = 0; i < faults.count; ++i) {
        int slot = reachable[random.Next(static_cast<unsigned>(reachable.size()))];
        faults.faults[i] = {slot,
                            1 + static_cast<long>(random.Next(static_cast<unsigned>(reach[slot]))),
                            kFailureCodes[random.Next(4)]};
    }
    // A third of the seeds lose power during the run, a third right after it;
    // half of these with a flush that fails.
    long perRun = 1;
    long writes = 1;
    for (int i = 0; i < kSlotCount; ++i) {
        perRun += reach[i] / 2;
        writes += writesSpooler[i] ? reach[i] / 2 : 0;
    }
    unsigned power = random.Next(3);
    faults.cutAt = power == 0 ? 1 + static_cast<long>(random.Next(perRun)) : 0;
    faults.cutAfter = power == 1;
    for (Hive hive : {kSoftware, kSpooler}) {
        long until = hive == kSpooler ? writes : faults.cutAt ? faults.cutAt : perRun;
        faults.lazyAt[hive] = random.Next(2) ? 1 + static_cast<long>(random.Next(until)) : 0;
        faults.kept[hive] = random.Next(3) == 0;
    }
    if (power < 2 && faults.count < kMaxFaults && reach[flushSlot] > 1 && random.Next(2)) {
        faults.faults[faults.count++] = {
            flushSlot,
            1 + static_cast<long>(random.Next(static_cast<unsigned>(reach[flushSlot] / 2))),
            kFailureCodes[random.Next(4)]};
    }
    return faults;
}

// An earlier run was killed between writing its printers' entries and
// flushing them: the entries are there but not on disk, and the printers are
// in the spooler.
void JournalUnflushed(const Expected& expected) {
    for (const auto& [name, want] : expected.printers) {
        if (name == kLostPrinter || name == expected.damagedEntry || !want.whole) {
            continue;
        }
        std::vector<std::pair<std::wstring, std::vector<BYTE>>> values;
        std::vector<std::pair<std::wstring, DWORD>> names;
        ValuesOf(want.data, values, names);
        JournalRecord(name, want, name == expected.defaultPrinter, values, names);
    }
}

// Between two runs an administrator changes a printer that is in place and
// that no run has out: the later run must keep the change.
void AdministratorChanges(Random& random, unsigned seed, Expected& expected) {
    for (auto& [name, want] : expected.printers) {
        HANDLE printer = nullptr;
        if (!want.whole || random.Next(4) || LookUpJournal(name.c_str()) != JournalLookup::Absent ||
            (printer = OpenAdministered(name)) == nullptr) {
            continue;
        }
        if (random.Next(2)) {
            want.comment = L"Changed " + std::to_wstring(seed);
            SetDetails(printer, want.comment.c_str(), want.location.c_str(), nullptr, 0);
        } else {
            want.security.dacl = Normalized(L"D:(A;;0x8;;;S-1-5-32-547)(A;;GA;;;BA)").dacl;
            World::security[name].dacl = World::savedDacl[name] = want.security.dacl;
        }
        realSpooler.ClosePrinter(printer);
    }
    // One who finds the default printer moved by a run picks another: it
    // stays, unless a printer is still in transit, whose entry wins.
    std::wstring now = DefaultPrinter();
    if (expected.defaultPrinter.empty() || now == expected.defaultPrinter || random.Next(2)) {
        return;
    }
    for (const auto& [name, want] : expected.printers) {
        if (LookUpJournal(name.c_str()) != JournalLookup::Absent) {
            return;
        }
    }
    for (const std::wstring& name : PrinterNames()) {
        if (name != now && name != expected.defaultPrinter && expected.printers.count(name) &&
            realSpooler.SetDefaultPrinterW(name.c_str())) {
            expected.defaultPrinter = name;
            return;
        }
    }
}

int RunSeed(unsigned seed, const std::vector<long>& reach, bool verbose) {
    Random random = {seed * 2654435761ULL + 1};
    Expected expected = SetUpPrinters(seed, random);
    World::privilegeHeld = random.Next(2);
    World::serverStartsAtRun = static_cast<int>(random.Next(3));
    Plan faults = MakePlan(random, reach);
    Report report = {seed, faults, verbose, 0};
    std::string planned = PlanText(faults);
    World::privilegeMayFail = planned.find("Privilege") != std::string::npos ||
                              planned.find("advapi.OpenProcessToken") != std::string::npos;
    FlushHive(kSoftware);
    FlushHive(kSpooler);
    if (random.Next(4) == 0) {
        JournalUnflushed(expected);
    }
    PendingValue pending;

    Users::asSystem = seed % 2 != 0;
    Users::askedLate = false;
    Users::defaultPrinter = expected.defaultPrinter;
    Outcome faulty = Reinstall(faults, true);
    faultyRunsWithErrors += faulty.errors;
    CheckNothingHeld(report, "the faulty", faulty);
    std::string lost = Differences(expected, false);
    if (!lost.empty() && !faulty.errors) {
        report.Violation("the faulty run logged no error, yet " + lost, faulty);
    }

    if (faults.cutAfter || (faults.cutAt && runCalls >= faults.cutAt)) {
        CutPower(faults);
    }
    AdministratorChanges(random, seed, expected);
    // Clean runs until the Server service has started: owed sharing then takes.
    Outcome clean = {};
    do {
        clean = Reinstall(faults, false);
        CheckNothingHeld(report, "a clean", clean);
    } while (World::run <= World::serverStartsAtRun);
    lost = Differences(expected, true);
    if (!lost.empty()) {
        report.Violation("after the clean runs " + lost, clean);
    }
    for (const wchar_t* key : {kJournalKey, kOwedKey}) {
        std::string names;
        for (const auto& [name, value] : ImageOf(key).values) {
            names += " '" + Narrow(name) + "'";
        }
        if (!KeyIsGone(key)) {
            report.Violation("after the clean runs " + Narrow(key) + " still holds" + names, clean);
        }
    }
    std::set<std::string> breaches(World::breaches.begin(), World::breaches.end());
    for (const std::string& breach : breaches) {
        report.Violation(breach, faulty);
    }
    if (!expected.damagedEntry.empty() && !DamagedEntrySetAside(expected)) {
        report.Violation("the damaged journal entry was not set aside as it was", clean);
    }
    if (!NoDuplicates()) {
        report.Violation("two printers have the same name", clean);
    }
    if (GetFileAttributesW(kTrayProgram) == INVALID_FILE_ATTRIBUTES) {
        report.Violation("the clean reinstall deleted the tray program it registers", clean);
    }
    if (Users::askedLate) {
        report.Violation("a signed-in user was asked after a product printer went", faulty);
    }
    if (!CurrentFolderWasEmpty()) {
        report.Violation("a run wrote into the current folder", faulty);
    }
    return report.violations;
}

// A seed that does not end within a minute hangs: say which, and stop.
struct Watchdog {
    static inline volatile LONG seed;
    static inline volatile LONG beat;

    static DWORD WINAPI Watch(void*) {
        LONG seen = -1;
        for (int quiet = 0;; ++quiet) {
            Sleep(1000);
            if (beat != seen) {
                seen = beat;
                quiet = 0;
            } else if (quiet >= 60) {
                printf("seed %ld: no end after 60 s (a hang)\n", seed);
                fflush(stdout);
                ExitProcess(3);
            }
        }
    }
};

// Which calls a run makes at all, and how often: the plans aim at those.
std::vector<long> Reach() {
    Random random = {7};
    Users::asSystem = true;
    SetUpPrinters(0, random);
    Reinstall(Plan{}, false);
    while (SetUpPrinters(0, random).printers.size() < 3) {
    }
    Reinstall(Plan{}, false);
    return calls;
}

bool InstallOtherDriver() {
    DRIVER_INFO_3W info = {};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(kOtherDriver);
    info.pEnvironment = const_cast<LPWSTR>(kEnvironment);
    info.pDriverPath = const_cast<LPWSTR>(L"chaosdrv.dll");
    info.pDataFile = const_cast<LPWSTR>(L"chaosdrv.dll");
    info.pConfigFile = const_cast<LPWSTR>(L"chaosui.dll");
    return realSpooler.AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info), 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    moduleInstance = GetModuleHandleW(nullptr);
    unsigned seeds = 20;
    unsigned first = 1;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--seeds") == 0 && i + 1 < argc) {
            seeds = static_cast<unsigned>(_wtoi(argv[++i]));
        } else if (wcscmp(argv[i], L"--first") == 0 && i + 1 < argc) {
            first = static_cast<unsigned>(_wtoi(argv[++i]));
        } else if (wcscmp(argv[i], L"--verbose") == 0) {
            verbose = true;
        } else {
            fprintf(stderr, "usage: reinstall_chaos [--seeds N] [--first SEED] [--verbose]\n");
            return 2;
        }
    }
    if (!BindOsTables()) {
        fprintf(stderr, "cannot bind the OS tables\n");
        return 2;
    }
    // Bound before the fault layer wraps them, which would otherwise wrap
    // the stand-ins.
    BindSessionTables();
    SetUpWorld();
    SetUpDisk();
    CreateDirectoryW(kCurrentFolder, nullptr);
    if (!CopyFileW(kTrayProgram, kTrayOriginal, FALSE) || !InstallOtherDriver() ||
        !SetCurrentDirectoryW(kCurrentFolder)) {
        fprintf(stderr, "no product in C:\\Zantorelle, or no second driver: %lu\n", GetLastError());
        return 2;
    }
    DWORD started = GetTickCount();
    CreateThread(nullptr, 0, &Watchdog::Watch, nullptr, 0, nullptr);
    std::vector<long> reach = Reach();
    faultsFired = 0;
    int violations = 0;
    for (unsigned seed = first; seed < first + seeds; ++seed) {
        Watchdog::seed = static_cast<LONG>(seed);
        InterlockedIncrement(&Watchdog::beat);
        violations += RunSeed(seed, reach, verbose);
    }
    printf(
        "chaos: %u seeds, %d violations, %.1f s (%ld faults fired, %ld faulty runs logged "
        "errors, %ld power cuts)\n",
        seeds, violations, (GetTickCount() - started) / 1000.0, faultsFired, faultyRunsWithErrors,
        Disk::cuts);
    return violations == 0 ? 0 : 1;
}
