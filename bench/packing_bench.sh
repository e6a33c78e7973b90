#!/usr/bin/env bash
# Packing speed: `kestro pack` of one large included file against `cat` of the same bytes, and of a
# runtime directory (bundled_runtime) against `tar c | gzip -6` of the same tree, with the sizes each
# writes. Each time is the fastest of three runs with warm caches, each writing a fresh output (the
# packer's rename over an earlier launcher adds the file system's cost of freeing it). Prints ratios;
# never fails on them.
set -euo pipefail

host_build=${KESTRO_HOST_BUILD:-build/host}
windows_build=${KESTRO_WINDOWS_BUILD:-build/windows-x64}
jdk=${KESTRO_BENCH_JDK:-/usr/lib/jvm/java-17-openjdk-amd64}
size_mb=${1:-200}
packer=$host_build/packer/kestro
stub=$windows_build/launcher/launcher.exe
runtime_jar=$host_build/runtime/kestro-runtime.jar
for needed in "$packer" "$stub" "$runtime_jar" "$jdk/lib/modules"; do
    [ -e "$needed" ] || { echo "packing_bench: $needed missing; build both trees first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kestro-packing-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

now_ms() { echo $(($(date +%s%N) / 1000000)); }
# fastest VARIABLE OUTPUT COMMAND...: the fastest of three runs of COMMAND, in ms, each writing OUTPUT
# afresh (removed before, outside the time), as a first build does
fastest() {
    local best=999999999 start elapsed
    for _ in 1 2 3; do
        rm -f "$2"
        sync
        start=$(now_ms)
        "${@:3}"
        elapsed=$(($(now_ms) - start))
        [ "$elapsed" -lt "$best" ] && best=$elapsed
    done
    printf -v "$1" '%s' "$best"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / (b > 0 ? b : 1) }'; }

# One included file of random bytes.
head -c $((size_mb << 20)) /dev/urandom >"$work/big.bin"
printf 'files = ["big.bin"]\n[application]\nmain_class = "M"\n' >"$work/file.toml"
cat "$work/big.bin" >/dev/null
copy() { cat "$work/big.bin" >"$work/copy.bin"; }
pack_file() { "$packer" pack "$work/file.toml" -o "$work/File.exe" --stub "$stub" --runtime-jar "$runtime_jar" >/dev/null; }
fastest cat_ms "$work/copy.bin" copy
fastest pack_ms "$work/File.exe" pack_file

# A runtime-like tree: the JDK's lib with its module image cut to 40 MiB, and Windows files of the
# stub's machine where the packer looks for them.
mkdir -p "$work/jre/bin/server"
cp -rL "$jdk/lib" "$work/jre/" 2>/dev/null || true # dangling links (src.zip) are left out
head -c $((40 << 20)) "$jdk/lib/modules" >"$work/jre/lib/modules"
cp "$stub" "$work/jre/bin/java.exe"
cp "$stub" "$work/jre/bin/server/jvm.dll"
printf '[application]\nmain_class = "M"\n[java]\nbundled_runtime = "jre"\n' >"$work/runtime.toml"
tree_kib=$(du -sk "$work/jre" | cut -f1)
tar_gzip() { tar -C "$work/jre" -cf - . | gzip -6 >"$work/jre.tar.gz"; }
pack_runtime() { "$packer" pack "$work/runtime.toml" -o "$work/Runtime.exe" --stub "$stub" --runtime-jar "$runtime_jar" >/dev/null; }
fastest tar_ms "$work/jre.tar.gz" tar_gzip
fastest bundle_ms "$work/Runtime.exe" pack_runtime
stub_kib=$(($(stat -c %s "$stub") / 1024))
tar_kib=$(($(stat -c %s "$work/jre.tar.gz") / 1024))
bundle_kib=$(($(stat -c %s "$work/Runtime.exe") / 1024 - stub_kib))

printf '%-34s %10s %10s %8s\n' "" "baseline ms" "kestro ms" "ratio"
printf '%-34s %10s %10s %8s\n' "one ${size_mb} MiB file: cat / pack" "$cat_ms" "$pack_ms" "$(ratio "$pack_ms" "$cat_ms")"
printf '%-34s %10s %10s %8s\n' "runtime of $((tree_kib / 1024)) MiB: tar|gzip -6 / pack" "$tar_ms" "$bundle_ms" \
    "$(ratio "$bundle_ms" "$tar_ms")"
echo "compressed runtime: tar|gzip -6 $tar_kib KiB, kestro $bundle_kib KiB (launcher less its stub) ($(ratio "$bundle_kib" "$tar_kib")x)"
echo "times: fastest of 3 runs with warm input caches, each into a fresh output, process start included; nproc $(nproc)"
