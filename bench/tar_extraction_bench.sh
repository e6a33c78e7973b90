#!/usr/bin/env bash
# Runtime archive extraction: the launcher's reader under Wine against `tar xzf` of the same archive,
# at two archive sizes, with the reader's peak working set at each. Not a test: it prints what it
# measures and never fails on timing.
#
#   bench/tar_extraction_bench.sh [WINDOWS-BUILD-DIR] [SMALL-MB] [LARGE-MB]
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$source_dir/build/windows-x64}
small=${2:-32}
large=${3:-128}
program=$build/bench/win/tar_extraction_peak.exe
wine_run=("$source_dir/scripts/wine-run" --prefix "$build/wineprefix")
[ -x "$program" ] || { echo "build $program first (cmake --build $build)" >&2; exit 2; }

work=$(mktemp -d /tmp/kestro-tar-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
"${wine_run[@]}" --start >/dev/null

windows_path() { echo "Z:${1//\//\\}"; }

milliseconds() { date +%s%3N; }

# A runtime-like tree of 1 MiB files that compress about as well as a runtime's libraries.
make_archive() {
    local megabytes=$1 tree=$work/tree-$1
    mkdir -p "$tree/bin" "$tree/lib"
    head -c 4096 /dev/urandom > "$tree/bin/java.exe"
    for i in $(seq "$megabytes"); do
        head -c 786432 /dev/urandom | base64 -w 0 | head -c 1048576 > "$tree/lib/part$i.jar"
    done
    tar --format=ustar -C "$tree" -czf "$work/jre-$megabytes.tar.gz" bin lib
    rm -rf "$tree"
}

measure() {
    local megabytes=$1 archive=$work/jre-$1.tar.gz
    make_archive "$megabytes"
    mkdir -p "$work/tar-$megabytes"
    local start end
    start=$(milliseconds)
    tar -C "$work/tar-$megabytes" -xzf "$archive"
    end=$(milliseconds)
    local tar_ms=$((end - start))
    rm -rf "$work/tar-$megabytes"
    local line
    line=$("${wine_run[@]}" "$program" "$(windows_path "$archive")" "$(windows_path "$work/reader-$megabytes")" | tr -d '\r')
    rm -rf "$work/reader-$megabytes" "$archive"
    local reader_ms=${line% *} peak_kb=${line#* }
    echo "$megabytes $tar_ms $reader_ms $peak_kb"
}

read -r s_mb s_tar s_reader s_peak < <(measure "$small")
read -r l_mb l_tar l_reader l_peak < <(measure "$large")
"${wine_run[@]}" --stop >/dev/null

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
printf '%-10s %12s %14s %16s %18s\n' "archive" "tar xzf ms" "reader ms" "reader / tar" "reader peak KiB"
printf '%-10s %12s %14s %16s %18s\n' "${s_mb} MiB" "$s_tar" "$s_reader" "$(ratio "$s_reader" "$s_tar")" "$s_peak"
printf '%-10s %12s %14s %16s %18s\n' "${l_mb} MiB" "$l_tar" "$l_reader" "$(ratio "$l_reader" "$l_tar")" "$l_peak"
echo "peak working set, large / small archive: $(ratio "$l_peak" "$s_peak") (flat: the reader streams)"
