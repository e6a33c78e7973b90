#!/usr/bin/env bash
# Included-file extraction: a packed launcher stub extracting one big included file under Wine,
# against `cp` of the same file on the same disk, at several sizes, with the stub's peak working set
# at each. Not a test: it prints what it measures and never fails on timing.
#
#   [KESTRO_HOST_BUILD=DIR] [KESTRO_WINDOWS_BUILD=DIR] bench/included_files_bench.sh [SIZE-MB...]
#
# Sizes default to 64 and 256; build trees to build/host and build/windows-x64.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
host_build=$(realpath "${KESTRO_HOST_BUILD:-$source_dir/build/host}")
windows_build=$(realpath "${KESTRO_WINDOWS_BUILD:-$source_dir/build/windows-x64}")
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(64 256)
# Each time is the fastest of this many runs, so that one hiccup of the machine does not set a ratio.
runs=3

packer=$host_build/packer/kestro
runtime_jar=$host_build/runtime/kestro-runtime.jar
stub=$windows_build/bench/win/included_files_peak.exe
envrun=$windows_build/tests/scenarios/win/envrun.exe
wine_run=("$source_dir/scripts/wine-run" --prefix "$windows_build/wineprefix")
for needed in "$packer" "$runtime_jar"; do
    [ -e "$needed" ] || { echo "build $needed first (cmake --build $host_build)" >&2; exit 2; }
done
for needed in "$stub" "$envrun"; do
    [ -e "$needed" ] || { echo "build $needed first (cmake --build $windows_build)" >&2; exit 2; }
done

# Source, packed launcher, copy and extraction all live here, on one file system.
work=$(mktemp -d /tmp/kestro-included-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
"${wine_run[@]}" --start >/dev/null

windows_path() { echo "Z:${1//\//\\}"; }

milliseconds() { date +%s%3N; }

fastest() { printf '%s\n' "$@" | sort -n | head -n 1; }

# Wine gives its processes TMP and TEMP from the prefix's registry, so they are set on the Windows
# side, by envrun, for the extraction to land in the work directory rather than the prefix's.
extract_once() {
    local launcher=$1 tmp=$work/tmp
    mkdir -p "$tmp"
    local status=0
    "${wine_run[@]}" "$envrun" --stdout "$(windows_path "$work/stdout.txt")" \
        --stderr "$(windows_path "$work/stderr.txt")" --report "$(windows_path "$work/report.txt")" \
        --timeout 600000 "TMP=$(windows_path "$tmp")" "TEMP=$(windows_path "$tmp")" \
        -- "$(windows_path "$launcher")" >/dev/null 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "extraction failed (exit $status):" >&2
        cat "$work/stdout.txt" "$work/stderr.txt" "$work/report.txt" >&2 2>/dev/null || true
        exit 1
    fi
    tr -d '\r' <"$work/stdout.txt"
    # The stub held its files open only until it ended.
    rm -rf "$tmp"
}

measure() {
    local megabytes=$1 source=$work/included-$1.bin launcher=$work/launcher-$1.exe
    head -c "$((megabytes * 1048576))" /dev/urandom >"$source"
    printf '[application]\nmain_class = "bench.Main"\n\n[[files]]\nsource = "%s"\n' "$source" \
        >"$work/project.toml"
    "$packer" pack "$work/project.toml" -o "$launcher" --stub "$stub" --runtime-jar "$runtime_jar" >/dev/null

    local cp_times=() extract_times=() extracted_kb=0 peak_kb=0
    for _ in $(seq "$runs"); do
        # Writing back what came before (the source, the launcher, the last copy or extraction)
        # would otherwise slow whichever copy runs next; each starts with nothing dirty instead.
        sync
        local start end
        start=$(milliseconds)
        cp "$source" "$work/copy.bin"
        end=$(milliseconds)
        cp_times+=($((end - start)))
        rm -f "$work/copy.bin"

        sync
        local line
        line=$(extract_once "$launcher")
        read -r ms kb peak <<<"$line"
        extract_times+=("$ms")
        extracted_kb=$kb
        [ "$peak" -gt "$peak_kb" ] && peak_kb=$peak
    done
    rm -f "$source" "$launcher"
    echo "$megabytes $(fastest "${cp_times[@]}") $(fastest "${extract_times[@]}") $extracted_kb $peak_kb"
}

results=()
for megabytes in "${sizes[@]}"; do
    results+=("$(measure "$megabytes")")
done
"${wine_run[@]}" --stop >/dev/null

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
printf '%-10s %8s %14s %14s %14s %18s\n' "file" "cp ms" "extract ms" "extract / cp" "extracted KiB" "stub peak KiB"
for result in "${results[@]}"; do
    read -r mb cp_ms extract_ms extracted_kb peak_kb <<<"$result"
    printf '%-10s %8s %14s %14s %14s %18s\n' "$mb MiB" "$cp_ms" "$extract_ms" "$(ratio "$extract_ms" "$cp_ms")" \
        "$extracted_kb" "$peak_kb"
done
read -r first_mb _ _ _ first_peak <<<"${results[0]}"
read -r last_mb _ _ _ last_peak <<<"${results[-1]}"
echo "stub peak working set, $last_mb MiB / $first_mb MiB: $(ratio "$last_peak" "$first_peak")" \
    "(flat: extraction copies in 8 KiB chunks)"
echo "times: fastest of $runs runs; extraction timed inside the stub, without Wine's start-up; cp with its process start"
