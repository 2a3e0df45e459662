#!/usr/bin/env bash
# Coverage-guided fuzzing of the module's text readers with libFuzzer.
#
#   tools/fuzz.sh [SECONDS] [HARNESS...]
#
# Every harness under tools/fuzz/ (one .cpp each) is built with clang,
# -fsanitize=fuzzer,address,undefined, against the core sources it names,
# seeded from the knot data under data/knot_fseries and from its corpus in
# tests/fuzz_corpus/<harness>/, and run for SECONDS (default 60). At the end
# the number of inputs each harness ran is printed. Inputs that crash are
# kept under build-fuzz/crashes/<harness>/ and make the script fail.
#
# A harness names in its header comment
#   // needs: SYMBOL...    core functions it calls; when one of them is not
#                          declared in a core header yet, the harness is
#                          skipped, not failed
#   // sources: GLOB...    core sources (relative to core/) it links against
#   // seeds: GLOB|KIND    seed files: a glob under data/knot_fseries, or
#                          ideal-records / ideal-records-with-id (records cut
#                          out of the ideal databases)
#
# clang and libFuzzer come from Debian's packages and are installed here when
# missing (apt-get, as root or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

DURATION=${1:-60}
case "$DURATION" in
    '' | *[!0-9]*) echo "usage: tools/fuzz.sh [SECONDS] [HARNESS...]" >&2; exit 2 ;;
esac
[ $# -gt 0 ] && shift
WANTED=("$@")

OUT=$ROOT/build-fuzz
mkdir -p "$OUT/obj" "$OUT/bin" "$OUT/seeds" "$OUT/corpus" "$OUT/crashes"

# ---------------------------------------------------------------- toolchain
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

probe_fuzzer() {
    local dir
    dir=$(mktemp -d)
    printf '%s\n' '#include <cstdint>' '#include <cstddef>' \
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }' >"$dir/p.cpp"
    "$CLANGXX" -fsanitize=fuzzer,address,undefined "$dir/p.cpp" -o "$dir/p" >/dev/null 2>&1
    local rc=$?
    rm -rf "$dir"
    return $rc
}

find_clang() {
    CLANGXX=$(command -v clang++ || true)
    if [ -z "$CLANGXX" ]; then
        CLANGXX=$(ls /usr/bin/clang++-[0-9]* 2>/dev/null | sort -V | tail -n 1 || true)
    fi
}

find_clang
if [ -z "$CLANGXX" ]; then
    echo "fuzz.sh: installing clang from Debian's packages" >&2
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
    find_clang
fi
[ -n "$CLANGXX" ] || { echo "fuzz.sh: clang++ not found after installing clang" >&2; exit 1; }
if ! probe_fuzzer; then
    major=$("$CLANGXX" -dumpversion | cut -d. -f1)
    echo "fuzz.sh: installing libclang-rt-$major-dev (libFuzzer) from Debian's packages" >&2
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null
    probe_fuzzer || { echo "fuzz.sh: $CLANGXX cannot build libFuzzer harnesses" >&2; exit 1; }
fi

PY=$(command -v python3 || true)
[ -n "$PY" ] || { echo "fuzz.sh: python3 is needed to cut seeds and generate the embedded data" >&2; exit 1; }

SAN=(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1)
INCLUDES=(-I"$ROOT/core")
for d in "$ROOT"/core/*/; do [ -d "$d" ] && INCLUDES+=(-I"$d"); done
CXXFLAGS=(-std=c++17 "${SAN[@]}" "${INCLUDES[@]}")
NJOBS=$(nproc 2>/dev/null || echo 2)

# Compiles one source into $OUT/obj when the object is older than the source
# or than any core header; prints the object path.
compile() {
    local src=$1 flavour=$2 obj
    obj="$OUT/obj/$(echo "${src#"$ROOT"/}" | tr '/' '_').$flavour.o"
    local newest_header
    newest_header=$(find "$ROOT/core" "$ROOT/tools/fuzz" -name '*.h' -newer "$obj" 2>/dev/null | head -n 1 || true)
    if [ ! -e "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$newest_header" ]; then
        if [ "$flavour" = harness ]; then
            "$CLANGXX" "${CXXFLAGS[@]}" -fsanitize=fuzzer -c "$src" -o "$obj"
        else
            "$CLANGXX" "${CXXFLAGS[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
        fi
    fi
    echo "$obj"
}

# The embedded knot data, for core sources that refer to its tables.
EMBED_OBJS=()
embedded_objects() {
    [ ${#EMBED_OBJS[@]} -gt 0 ] && return 0
    local gen=$OUT/generated
    mkdir -p "$gen"
    local stamp=$gen/.stamp
    if [ ! -e "$stamp" ] || [ -n "$(find "$ROOT/data/knot_fseries" "$ROOT/tools/embed" -newer "$stamp" -print -quit)" ]; then
        "$PY" "$ROOT/tools/embed/gen_embedded.py" "$ROOT/data/knot_fseries" "$gen"
        touch "$stamp"
    fi
    local src
    for src in "$gen"/*.cpp; do
        EMBED_OBJS+=("$(compile "$src" core)")
    done
}

# --------------------------------------------------------------------- seeds
# Cuts seeds for a harness into $OUT/seeds/<harness>/ (once).
make_seeds() {
    local name=$1 spec=$2 dir=$OUT/seeds/$name
    [ -d "$dir" ] && return 0
    mkdir -p "$dir.tmp"
    "$PY" - "$ROOT/data/knot_fseries" "$dir.tmp" "$spec" <<'PYEOF'
import glob, os, re, sys
data, out, specs = sys.argv[1], sys.argv[2], sys.argv[3].split()
count = [0]
def put(text):
    with open(os.path.join(out, "seed%04d" % count[0]), "wb") as f:
        f.write(text)
    count[0] += 1
for spec in specs:
  if spec in ("ideal-records", "ideal-records-with-id"):
    for path in sorted(glob.glob(os.path.join(data, "ideal*.txt"))):
        raw = open(path, "rb").read()
        # A few records of each database, alone and in pairs.
        recs = re.findall(rb"<AB[^>]*>.*?</AB>", raw, re.S)[:12]
        if not recs:
            put(raw[:4000])
            continue
        for k, rec in enumerate(recs):
            text = rec if k % 3 else recs[k - 1] + b"\n" + rec if k else rec
            if spec == "ideal-records-with-id":
                m = re.search(rb'Id="([^"]*)"', rec)
                text = (m.group(1) if m else b"") + b"\n" + text
            put(text)
  else:
    for path in sorted(glob.glob(os.path.join(data, spec)))[:200]:
        put(open(path, "rb").read())
PYEOF
    mv "$dir.tmp" "$dir"
}

# ------------------------------------------------------------------ harnesses
header_field() {  # header_field FILE KEY -> the words after "// KEY:"
    sed -n "s|^// $2:[[:space:]]*||p" "$1" | head -n 1
}

declared() {  # is SYMBOL declared in a core header?
    grep -rqw --include='*.h' -- "$1" "$ROOT/core"
}

declare -a NAMES RESULTS
failed=0
for src in "$ROOT"/tools/fuzz/*.cpp; do
    name=$(basename "$src" .cpp)
    if [ ${#WANTED[@]} -gt 0 ] && ! printf '%s\n' "${WANTED[@]}" | grep -qx "$name"; then
        continue
    fi
    missing=""
    read -r -a syms <<<"$(header_field "$src" needs)"
    for sym in "${syms[@]}"; do
        declared "$sym" || missing="$missing $sym"
    done
    if [ -n "$missing" ]; then
        echo "fuzz.sh: skipping $name: not in the core yet:$missing"
        NAMES+=("$name"); RESULTS+=("skipped (no$missing)")
        continue
    fi

    echo "fuzz.sh: building $name"
    objs=()
    read -r -a pats <<<"$(header_field "$src" sources)"
    shopt -s nullglob
    for pat in "${pats[@]}"; do
        for f in "$ROOT"/core/$pat; do [ -f "$f" ] && objs+=("$f"); done
    done
    shopt -u nullglob
    # Core objects in parallel, then one archive: the linker takes only the
    # members the harness needs.
    mapfile -t srcs < <(printf '%s\n' "${objs[@]}" | sort -u)
    core_objs=()
    for f in "${srcs[@]}"; do
        while [ "$(jobs -rp | wc -l)" -ge "$NJOBS" ]; do wait -n; done
        compile "$f" core >/dev/null &
        core_objs+=("$OUT/obj/$(echo "${f#"$ROOT"/}" | tr '/' '_').core.o")
    done
    wait
    embedded_objects
    lib=$OUT/obj/lib$name.a
    rm -f "$lib"
    ar rcs "$lib" "${core_objs[@]}" "${EMBED_OBJS[@]}"
    hobj=$(compile "$src" harness)
    "$CLANGXX" "${CXXFLAGS[@]}" -fsanitize=fuzzer "$hobj" "$lib" -o "$OUT/bin/$name"

    make_seeds "$name" "$(header_field "$src" seeds)"
    repo_corpus=$ROOT/tests/fuzz_corpus/$name
    work=$OUT/corpus/$name
    crashes=$OUT/crashes/$name
    mkdir -p "$work" "$crashes"
    dirs=("$work" "$OUT/seeds/$name")
    [ -d "$repo_corpus" ] && dirs+=("$repo_corpus")

    echo "fuzz.sh: running $name for ${DURATION}s"
    log=$OUT/$name.log
    rc=0
    "$OUT/bin/$name" -max_total_time="$DURATION" -print_final_stats=1 -timeout=20 -rss_limit_mb=2048 \
        -max_len=65536 -artifact_prefix="$crashes/" "${dirs[@]}" >"$log" 2>&1 || rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units:[[:space:]]*//p' "$log" | tail -n 1)
    if [ "$rc" -ne 0 ]; then
        failed=1
        echo "fuzz.sh: $name FAILED (exit $rc); see $log and $crashes/" >&2
        grep -m 20 -E 'ERROR|SUMMARY|check failed|runtime error' "$log" >&2 || true
        NAMES+=("$name"); RESULTS+=("${runs:-?} inputs, FAILED (see $log)")
    else
        NAMES+=("$name"); RESULTS+=("${runs:-?} inputs, no finding")
    fi
done

echo
echo "fuzz.sh: inputs run per harness (${DURATION}s each)"
for i in "${!NAMES[@]}"; do
    printf '  %-20s %s\n' "${NAMES[$i]}" "${RESULTS[$i]}"
done
exit "$failed"
