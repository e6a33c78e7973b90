#!/usr/bin/env bash
# Runtime download over loopback: the launcher's download code under Wine against `curl -o` of the
# same URL from the same local server, at two file sizes, with the download's peak working set at
# each. Not a test: it prints what it measures and never fails on timing.
#
#   bench/download_bench.sh [WINDOWS-BUILD-DIR] [SMALL-MB] [LARGE-MB]
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$source_dir/build/windows-x64}
small=${2:-20}
large=${3:-200}
program=$build/bench/win/download_peak.exe
wine_run=("$source_dir/scripts/wine-run" --prefix "$build/wineprefix")
[ -x "$program" ] || { echo "build $program first (cmake --build $build)" >&2; exit 2; }
command -v curl >/dev/null || { echo "curl is missing (scripts/install-deps)" >&2; exit 2; }

work=$(mktemp -d /tmp/kestro-download-bench.XXXXXX)
server_pid=
cleanup() {
    [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/served"
"${wine_run[@]}" --start >/dev/null

python3 "$source_dir/tests/scenarios/download_server.py" --root "$work/served" --log /dev/null >"$work/port" &
server_pid=$!
for _ in $(seq 100); do
    grep -q '^port ' "$work/port" 2>/dev/null && break
    sleep 0.1
done
port=$(sed -n 's/^port //p' "$work/port")
[ -n "$port" ] || { echo "the download server did not start" >&2; exit 1; }

windows_path() { echo "Z:${1//\//\\}"; }
milliseconds() { date +%s%3N; }

# Each side's fastest of two runs; curl's time includes its process start, the launcher's code is
# timed inside the program, without Wine's start-up.
measure() {
    local megabytes=$1 name=file-$1.bin url
    head -c "$((megabytes * 1048576))" /dev/urandom >"$work/served/$name"
    url="http://127.0.0.1:$port/files/$name"
    local digest
    digest=$(sha256sum "$work/served/$name" | cut -d' ' -f1)
    local curl_ms=0 start end
    for _ in 1 2; do
        start=$(milliseconds)
        curl -s -o "$work/curl.bin" "$url"
        end=$(milliseconds)
        ((curl_ms == 0 || end - start < curl_ms)) && curl_ms=$((end - start))
        rm -f "$work/curl.bin"
    done
    local launcher_ms=0 peak_kb=0 line ms kb
    for _ in 1 2; do
        line=$("${wine_run[@]}" "$program" "$url" "$(windows_path "$work/launcher.bin")" | tr -d '\r')
        cmp -s "$work/served/$name" "$work/launcher.bin" || { echo "download differs" >&2; exit 1; }
        rm -f "$work/launcher.bin"
        ms=${line% *} kb=${line#* }
        ((launcher_ms == 0 || ms < launcher_ms)) && launcher_ms=$ms
        ((kb > peak_kb)) && peak_kb=$kb
    done
    line=$("${wine_run[@]}" "$program" "$url" "$(windows_path "$work/launcher.bin")" "$digest" | tr -d '\r')
    rm -f "$work/launcher.bin" "$work/served/$name"
    echo "$megabytes $curl_ms $launcher_ms ${line% *} $peak_kb"
}

read -r s_mb s_curl s_launcher s_digest s_peak < <(measure "$small")
read -r l_mb l_curl l_launcher l_digest l_peak < <(measure "$large")
"${wine_run[@]}" --stop >/dev/null

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
printf '%-9s %9s %12s %16s %18s %17s\n' "file" "curl ms" "launcher ms" "launcher / curl" "with SHA-256 ms" "launcher peak KiB"
printf '%-9s %9s %12s %16s %18s %17s\n' "${s_mb} MiB" "$s_curl" "$s_launcher" "$(ratio "$s_launcher" "$s_curl")" "$s_digest" "$s_peak"
printf '%-9s %9s %12s %16s %18s %17s\n' "${l_mb} MiB" "$l_curl" "$l_launcher" "$(ratio "$l_launcher" "$l_curl")" "$l_digest" "$l_peak"
echo "peak working set, large / small file: $(ratio "$l_peak" "$s_peak") (flat: the download streams in 16 KiB blocks)"
