#!/bin/bash
# The package under Wine's msiexec through one machine's life: a first install
# that fails leaves nothing of the product; a removal succeeds even when the
# installer cannot run; a failed upgrade keeps the user's printers and their
# default, and so do an upgrade and a repair, which keep the tray program too;
# an older build is refused; a removal with the monitor DLL in use asks for a
# restart, after which nothing of the product is left. The faults are folders
# where the installer must write a file, and a deleted installer. First, what
# an administrator's tools see of the package: signatures and versions.
. "$(dirname "$0")/lib.sh"
new_prefix msi-lifecycle
cp "$ZRL_PACKAGE_DIR/Zantorelle.msi" "$WINEPREFIX/drive_c/"
"$ZRL_PACKAGE_DIR/make-msi.sh" 1.0.2025 "$WINEPREFIX/drive_c/older.msi" >/dev/null 2>&1
system32=$WINEPREFIX/drive_c/windows/system32
event_log='Zantorelle: the installer wrote the log of this run to the Windows Application event log (source "Zantorelle Setup").'
user_printers='printer "Lab" driver="Zantorelle printer" port="Zantorelle:" processor="WinPrint" comment="" location="Basement" subkey="lab" dsuser-subkey="lab"
printer "Legacy" driver="Zantorelle printer" port="Zantorelle:" processor="WinPrint" comment="" location="Attic" subkey="legacy" dsuser-subkey="legacy"
printer "Office" driver="Zantorelle printer" port="Zantorelle:" processor="WinPrint" comment="Second floor" location="Room 12" subkey="abc" dsuser-subkey="abc"
default "Lab"'
package=$WINEPREFIX/drive_c/Zantorelle.msi
build=$(sed -n 's/.*kBuildNumber = \([0-9]*\);/\1/p' "$(dirname "$0")/../../src/core/product.h")

# The package, and the installer and custom-action DLL in it, carry valid
# SHA-256 signatures of the build's test certificate; the File table has each
# file's size, and the version and language of its version resource, and only
# unversioned files keep a hash (Windows Installer compares no other).
files=$WINEPREFIX/msi-files
msiextract -C "$files" "$package" >/dev/null
msiinfo extract "$package" Binary.SetupActions >"$files/zrlsetupca.dll"
signed() {
    osslsigncode verify -CAfile "$ZRL_PACKAGE_DIR/test-signing/cert.pem" -in "$1" >"$files/verify" 2>&1 &&
        grep -q 'algorithm *: SHA256' "$files/verify"
}
for file in "$package" "$(find "$files" -name zrlsetup.exe)" "$files/zrlsetupca.dll"; do
    check "${file##*/} is signed" signed "$file"
done
while IFS=$'\t' read -r name size version language; do
    file=$(find "$files" -name "$name")
    check "File table: $name, $size bytes, version '$version', language '$language'" \
        diff <(echo $size $version $language) <(echo $(stat -c %s "$file") \
            $(exiftool -q -q -n -p '$FileVersionNumber ${LanguageCode;$_=hex}' "$file"))
done < <(msiinfo export "$package" File | tail -n +4 | cut -f 3-6)
check "file hashes only of the unversioned files" diff <(msiinfo export "$package" MsiFileHash | tail -n +4 |
    cut -f 1) <(msiinfo export "$package" File | tail -n +4 | awk -F '\t' '$5 == "" { print $1 }')
for file in zrlsetup.exe zrlsetupca.dll; do
    check "$file: its version resource" diff - <(exiftool -q -s -s -FileVersionNumber -LanguageCode \
        -CompanyName -ProductName -ProductVersion -OriginalFileName -LegalCopyright \
        "$(find "$files" -name $file)") <<EOF
FileVersionNumber: 1.0.$build.0
LanguageCode: English (U.S.)
CompanyName: Dravish Software Kft.
ProductName: Zantorelle
ProductVersion: 1.0.$build
OriginalFileName: $file
LegalCopyright: Copyright © 2026 Dravish Software Kft.
EOF
done

# outcome WHAT CODE LINE...: msiexec's exit code and the package's lines in the
# MSI log. Windows' msiexec exits 1603 when a custom action fails, Wine's 1627
# for some kinds of them (1603 for this DLL): both mean failure.
outcome() {
    local what=$1
    shift
    check "$what: msiexec exits $1, the MSI log says why" \
        diff <(echo "${code/#1627/1603}"; msi_lines) <(printf '%s\n' "$@")
}
versions() {
    "$WINE" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
        tr -d '\r' | sed -n 's/^ *DisplayVersion *REG_SZ *//p'
}
# entries: of each entry in Programs and Features its comments, version and
# NoModify; "icon" for each product whose icon is the package's. (Wine keeps
# it as the product's ProductIcon; it writes no DisplayIcon and EstimatedSize 0.)
entries() {
    "$WINE" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
        tr -d '\r' | sed -n 's/^ *\(Comments\|DisplayVersion\|NoModify\) *REG_[A-Z]* *//p'
    for icon in $("$WINE" reg query 'HKLM\Software\Classes\Installer\Products' /s 2>/dev/null |
        tr -d '\r' | sed -n 's|\\|/|g; s|^ *ProductIcon *REG_SZ *C:/||p'); do
        cmp -s "$WINEPREFIX/drive_c/$icon" "$(dirname "$0")/../../package/zantorelle.ico" && echo icon
    done
}
# check_nothing_left WHEN: nothing of the product in the spooler, the Run key,
# the files (but the packages and new_prefix's layout), the registry, Windows
# Installer's list or the processes.
check_nothing_left() {
    check "$1: nothing of the product in the spooler" \
        diff <(state monitors drivers printers default run pending; state ports | grep Zantorelle) - <<'EOF'
monitor "Local Port" dll="localspl.dll"
default none
run ZantorelleTray=none
pending none
EOF
    check "$1: no product file, registry key, registration or tray program" diff /dev/null \
        <(find "$WINEPREFIX/drive_c" -path "$WINEPREFIX/drive_c/Zantorelle*" -prune -o \( -iname 'zrl*' \
            -o -iname 'zantray*' -o -iname 'Zantorelle*' \) -print
          "$WINE" reg query 'HKLM\Software\Dravish Software KFT' >/dev/null 2>&1 && echo key
          versions; tray ended || echo tray)
}

# Windows protected print mode refuses the install before it changes anything.
wpp='HKLM\SOFTWARE\Policies\Microsoft\Windows NT\Printers\WPP'
"$WINE" reg add "$wpp" /v WindowsProtectedPrintMode /t REG_DWORD /d 1 /f >/dev/null 2>&1
msiexec /i 'C:\Zantorelle.msi'
outcome "refused first install" 1603 "$(ended install 103)" \
    "Zantorelle: the installer refused the install before it changed anything; the event log says why."
"$WINE" reg delete "$wpp" /f >/dev/null 2>&1
check_nothing_left "refused first install"

mkdir "$system32/zrlmon64.dll"
msiexec /i 'C:\Zantorelle.msi'
outcome "failed first install" 1603 "$(ended install 100)" "$event_log" \
    "Zantorelle: the first install failed; what it left in the spooler is removed." \
    "$(ended uninstall 2)"
rmdir "$system32/zrlmon64.dll"
check_nothing_left "failed first install"

# A printer an earlier reinstall left in its journal is the user's too: a
# failed first install over it brings it back and removes nothing.
"$WINE" reg add 'HKLM\SOFTWARE\Dravish Software KFT\Zantorelle\Printers in transit' \
    /v Journaled /t REG_MULTI_SZ /d 'SubKey=j\0Comment=in transit' /f >/dev/null 2>&1
mkdir "$system32/spool/drivers/x64/zrlhelp.chm"
msiexec /i 'C:\Zantorelle.msi'
outcome "failed first install over a journal" 1603 "$(ended install 100)" "$event_log" \
    "Zantorelle: the first install failed; the product's journal of printers, driver or port monitor was there before it, so nothing is removed."
check "failed first install over a journal: its printer is back and stays" grep -qx \
    'printer "Journaled" driver="Zantorelle printer" port="Zantorelle:" processor="WinPrint" comment="in transit" location=none subkey="j" dsuser-subkey="j"' \
    <(state printers)
rmdir "$system32/spool/drivers/x64/zrlhelp.chm"
setup uninstall

msiexec /i 'C:\older.msi'
rm "$WINEPREFIX/drive_c/Program Files/Zantorelle/Setup/zrlsetup.exe"
# A pending deletion of a product file that is gone already asks for no restart.
spooler_setup pending '\??\C:\zrl-gone\zrlmon64.dll'
msiexec /x 'C:\older.msi'
outcome "removal without the installer" 0 \
    "Zantorelle: \"C:\\Program Files\\Zantorelle\\Setup\\zrlsetup.exe\" uninstall could not be started (error 2)." \
    "Zantorelle: the product is removed anyway."
"$WINE" reg delete 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' \
    /v PendingFileRenameOperations /f >/dev/null 2>&1
check "removal without the installer: the product is not registered" diff <(versions) /dev/null

# A first install of the package over printers another setup of the product
# made (here: what that removal left, and one more): when it fails, they stay.
spooler_setup add-printer Legacy "" Attic legacy
mkdir "$system32/spool/drivers/x64/zrlhelp.chm"
msiexec /i 'C:\older.msi'
outcome "failed first install over printers" 1603 "$(ended install 100)" "$event_log" \
    "Zantorelle: the first install failed; the spooler held the product's printers before it, so nothing is removed."
check "failed first install over printers: they stay" grep -qx \
    'printer "Legacy" driver="Zantorelle printer" port="Zantorelle:" processor="WinPrint" comment="" location="Attic" subkey="legacy" dsuser-subkey="legacy"' \
    <(state printers)
rmdir "$system32/spool/drivers/x64/zrlhelp.chm"

# Over what that removal left in the spooler.
msiexec /i 'C:\older.msi'
outcome "install of 1.0.2025" 0 "$(ended install 1)"
check "install: the tray program runs" tray running
spooler_setup add-printer Office "Second floor" "Room 12" abc
spooler_setup add-printer Lab "" Basement lab
spooler_setup set-default Lab

# The help file, not a driver file: without its driver files the reinstall
# could bring no printer back, whatever the package did.
mkdir "$system32/spool/drivers/x64/zrlhelp.chm"
msiexec /i 'C:\Zantorelle.msi'
outcome "failed upgrade" 1603 "$(ended removetray 6)" "$(ended install 100)" "$event_log"
check "failed upgrade: the user's printers and default are kept, 1.0.2025 stays" \
    diff <(state printers default; versions) <(echo "$user_printers"; echo 1.0.2025)
rmdir "$system32/spool/drivers/x64/zrlhelp.chm"
# Wine's msiexec drops the upgrade code of every version when it takes one
# back; a repair of 1.0.2025 writes it again. It cannot repair with /fa (it
# takes the package for a product code, and a product code for "not
# implemented"): these properties are what /fa sets.
repair() { msiexec /i "$1" REINSTALL=ALL REINSTALLMODE=a; }
repair 'C:\older.msi'

for run in upgrade repair; do
    [ $run = upgrade ] && msiexec /i 'C:\Zantorelle.msi'
    [ $run = repair ] && repair 'C:\Zantorelle.msi'
    outcome $run 0 "$(ended removetray 6)" "$(ended install 1)"
    # The install's own printer has no settings key: a reinstall drops it.
    check "$run: the user's printers are back with their data and default, the tray program runs" \
        diff <(state printers default; tray running && versions) <(echo "$user_printers"; echo 1.0.2026)
    check "$run: one Programs and Features entry, with comments, no Change button and the icon" \
        diff <(entries | sort) <(printf '%s\n' "1.0.$build" 0x1 icon \
            "The Zantorelle virtual printer: port monitor, printer driver and tray program." | sort)
done
msiexec /i 'C:\older.msi'
outcome "older build" 1603
check "older build: refused by the launch condition" grep -q "LaunchConditions. Return value 0" "$MSI_LOG"

"$WINE" "$ZRL_TOOLS/spooler_setup.exe" hold 'C:\windows\system32\zrlmon64.dll' 30 \
    >"$ZRL_WORK/msi-hold.out" 2>&1 &
holder=$!
for _ in $(seq 100); do grep -q holding "$ZRL_WORK/msi-hold.out" && break; sleep 0.1; done
msiexec /x 'C:\Zantorelle.msi'
kill $holder
wait $holder 2>/dev/null
outcome "removal, monitor DLL in use" 3010 "$(ended uninstall 101)" \
    "Zantorelle: files are deleted at the next restart; a restart is requested."
restart_prefix
check_nothing_left "removal and a restart"
finish
