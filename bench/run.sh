#!/bin/bash
# Benchmark of the install, reinstall and uninstall runs with 1, 10 and 100
# product printers, each case in a fresh copy of the build's template Wine
# prefix. Prints one Markdown table.
#
#   bench/run.sh [BUILD_DIR]          (default: build)
#   ZRL_BENCH_COUNTS="1 10" bench/run.sh build
#
# Needs the build's zrlsetup.exe, stand-ins, zrl_bench.exe and template prefix
# (`cmake --build BUILD_DIR`). The product is laid out by `cmake --install`
# into a folder of the benchmark's own, and copied into each prefix's C:
# drive: an uninstall deletes the tray program, which the tests' stage must keep.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
counts=${ZRL_BENCH_COUNTS:-1 10 100}

export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
export CUPS_SERVER=/nonexistent/zrl-cups.sock
# No display: a log dialog must never wait for a user (the bench keeps it shut too).
unset DISPLAY
WINE=/usr/lib/wine/wine64
tool=$root/cmake/wine-prefix.sh
template=$build/wine/template
bench_exe=$build/bench/zrl_bench.exe
work=$build/bench-work
product=$work/product/Zantorelle

[ -f "$bench_exe" ] || { echo "no $bench_exe: build $build first" >&2; exit 1; }
"$tool" template "$template"
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/product" >/dev/null

# bench ARGS...: one bench process in the current prefix; rows to the table.
bench() {
    if ! "$WINE" 'C:\Zantorelle\Setup\zrl_bench.exe' "$@" </dev/null >"$work/out" 2>"$work/err"; then
        tr -d '\r' <"$work/out" >>"$work/table"
        cat "$work/table"
        echo "zrl_bench $* failed (work files kept in $work):" >&2
        cat "$work/err" >&2
        return 1
    fi
    tr -d '\r' <"$work/out" >>"$work/table"
}

# A setup package unpacks the tray program before it runs the installer; the
# run before may have deleted it.
restore_tray() {
    cp -n "$product/zantray.exe" "$WINEPREFIX/drive_c/Zantorelle/" 2>/dev/null || true
}

seconds_since() {
    awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'
}

end_prefix() {
    "$tool" stop "$WINEPREFIX"
    rm -rf "$WINEPREFIX"
}

run_case() {
    local n=$1 started
    export WINEPREFIX=$work/prefix-$n
    "$tool" fresh "$template" "$WINEPREFIX"
    "$tool" start "$WINEPREFIX"
    trap end_prefix EXIT
    cp -a "$product" "$WINEPREFIX/drive_c/"
    cp "$bench_exe" "$WINEPREFIX/drive_c/Zantorelle/Setup/"
    started=$(date +%s.%N)
    bench $header --case "$n" install "printers=$n"
    restore_tray
    bench --case "$n" reinstall
    restore_tray
    bench --case "$n" uninstall
    echo "$n $(seconds_since "$started")" >>"$work/case-times"
    end_prefix
    trap - EXIT
}

total_start=$(date +%s.%N)
: >"$work/table"
: >"$work/case-times"
# The header comes from the program, so that it always matches the rows.
header=--header
for n in $counts; do
    run_case "$n"
    header=
done

cat "$work/table"
echo
# The journal's cost per printer against what carrying one printer over costs
# in the same reinstall (its wall time without the installer's own sleeps).
awk -F'|' '$3 ~ /reinstall/ {
    split($4, n, "→")
    printers = n[2] + 0
    if (printers == 0) next
    per = ($5 - $6) / printers
    cost = $8 / printers
    printf "Journal, case %d: %.3f ms per printer, %.1f %% of a carried-over printer'"'"'s reinstall (%.2f ms).\n", $2, cost, 100 * cost / per, per
    if (printers > most) { most = printers; mostMs = $5 - $6 }
    if (fewest == 0 || printers < fewest) { fewest = printers; fewestMs = $5 - $6 }
}
# What one more carried-over printer costs, without what every reinstall
# pays once (the driver, the monitor, the checks): the slope between the
# smallest and the largest case.
END {
    if (most > fewest)
        printf "One more carried-over printer: %.2f ms (reinstalls of %d and %d printers).\n", (mostMs - fewestMs) / (most - fewest), fewest, most
}' "$work/table"
size=$(stat -c %s "$product/Setup/zrlsetup.exe")
echo "Installed zrlsetup.exe: $size bytes ($(( (size + 1023) / 1024 )) KiB)."
while read -r n secs; do
    echo "Case $n: ${secs} s of bench processes (without the prefix copy)."
done <"$work/case-times"
echo "Whole benchmark: $(seconds_since "$total_start") s."
rm -rf "$work"
