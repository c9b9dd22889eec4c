#!/bin/bash
# Every platform call the installer makes goes through its OS tables
# (src/core/os_tables.h), where tests and the chaos harness can make it fail:
#
#   tests/os_calls_check.sh LIBZRL_A ZRLSETUP_EXE
#
# Fails, naming the object and the function, when an object of the product
# library calls a function of a Windows DLL that is not on the list below,
# and when the executable imports more than that list (and the C runtime).
set -eu
lib=$1
exe=$2
nm=x86_64-w64-mingw32-nm
objdump=x86_64-w64-mingw32-objdump
imports=/usr/x86_64-w64-mingw32/lib

# Called directly, and why.
# - The binder's own three, which fill the tables (core/os_tables.cpp, and
#   spooler/winspool_api.cpp for the spooler's libraries); nowhere else.
binder="GetModuleHandleW GetProcAddress LoadLibraryExW"
binder_objects="os_tables.cpp.obj winspool_api.cpp.obj"
# - The closes of the guards in core/handles.h, which the package's custom
#   action shares and which bind no table: closing a handle, a key, a module
#   or a local block cannot fail in a way a caller could act on.
guards="CloseHandle RegCloseKey FreeLibrary LocalFree"

# The functions of the DLLs the product may reach, from their import libraries.
platform=$(mktemp)
trap 'rm -f "$platform"' EXIT
for dll in kernel32 advapi32 user32 shell32 userenv wtsapi32 winspool version gdi32 ntdll \
           ole32 shlwapi psapi secur32 crypt32 bcrypt netapi32 msi comctl32 comdlg32; do
    "$nm" --defined-only "$imports/lib$dll.a" 2>/dev/null |
        awk '$2 == "T" || $2 == "I" {print $3}' | sed 's/^__imp_//'
done | sort -u >"$platform"

allowed() {  # name object
    case " $guards " in *" $1 "*) return 0 ;; esac
    case " $binder " in *" $1 "*) case " $binder_objects " in *" $2 "*) return 0 ;; esac ;; esac
    return 1
}

status=0
object=
while read -r line; do
    case $line in
    *:) object=${line%:} ;;
    "U "*)
        name=${line#U }
        name=${name#__imp_}
        if grep -qx -- "$name" "$platform" && ! allowed "$name" "$object"; then
            echo "direct platform call: $object calls $name (call it through its OS table)"
            status=1
        fi
        ;;
    esac
done < <("$nm" -u "$lib" | sed 's/^ *//')

# The executable: kernel32's three binders, the guards' closes and msvcrt.
while read -r dll name; do
    case $dll in
    msvcrt.dll) continue ;;
    esac
    if ! case " $binder $guards " in *" $name "*) true ;; *) false ;; esac; then
        echo "import: $(basename "$exe") imports $name from $dll"
        status=1
    fi
done < <("$objdump" -p "$exe" |
    awk '/^[A-Z]/ {dll = ""} /DLL Name:/ {dll = $3; next}
         dll && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ {print dll, $3}')

if [ $status = 0 ]; then
    echo "every platform call goes through the OS tables"
fi
exit $status
