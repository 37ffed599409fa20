#!/usr/bin/env bash
# Coverage-guided fuzzing of vantra_cbor: fuzz/run.sh [SECONDS]  (default 60)
#
# Sets up what it needs (clang and its sanitizer runtimes from Debian, a venv
# with atheris, cbor2 and NumPy), builds the module with clang, AddressSanitizer,
# UBSan and libFuzzer's coverage counters, then runs fuzz_dumps.py, fuzz_reader.py,
# fuzz_loads.py and fuzz_diag.py side by side for SECONDS each, on copies of
# fuzz/corpus/*.
# Exits non-zero on any crash or finding; its input is kept in fuzz/artifacts/.
#
# Environment: PYTHON (default python3), FUZZ_VENV (default fuzz/.venv-fuzz),
# FUZZ_JOBS=1 to run the harnesses one after the other, FUZZ_MERGE=1 to add the
# inputs that reached new coverage to fuzz/corpus/* (libFuzzer's -merge=1).
set -euo pipefail

duration=${1:-60}
[[ $duration =~ ^[0-9]+$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }
fuzz_dir=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$fuzz_dir")
python=${PYTHON:-python3}
venv=${FUZZ_VENV:-$fuzz_dir/.venv-fuzz}
artifacts=$fuzz_dir/artifacts
harnesses=(dumps reader loads diag)
started=$(date +%s)

say() { printf '== %s\n' "$*"; }

# ---- clang, with the static sanitizer and libFuzzer runtimes -------------------
runtime_dir() { echo "$(clang -print-resource-dir)/lib/linux"; }
arch=$(uname -m)
if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null; then
  say "installing clang"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
fi
if [[ ! -f $(runtime_dir)/libclang_rt.fuzzer_no_main-$arch.a ]]; then
  major=$(clang -dumpversion | cut -d. -f1)
  say "installing libclang-rt-$major-dev"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null
fi
rt=$(runtime_dir)

# ---- the venv ----------------------------------------------------------------------
if [[ ! -x $venv/bin/python ]]; then
  say "creating $venv"
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$fuzz_dir/requirements.txt"

# ---- one runtime: ASan (with UBSan's C++ checks) and libFuzzer -------------------------
# atheris ships asan_with_fuzzer.so, but from another LLVM than Debian's clang:
# it lacks handlers this clang's -fsanitize=undefined calls. This one is made
# from the compiler's own archives; asan_preinit is left out, as a shared
# object cannot carry .preinit_array.
work=$(mktemp -d "${TMPDIR:-/tmp}/vantra-fuzz.XXXXXX")
runtime=$work/asan_ubsan_fuzzer.so
mkdir -p "$work/rt"
cp "$rt/libclang_rt.asan-$arch.a" "$work/rt/asan.a"
ar d "$work/rt/asan.a" asan_preinit.cpp.o
clang++ -shared -o "$runtime" -Wl,--whole-archive "$work/rt/asan.a" \
  "$rt/libclang_rt.asan_cxx-$arch.a" "$rt/libclang_rt.fuzzer_no_main-$arch.a" \
  -Wl,--no-whole-archive -lpthread -ldl -lrt -lm -lstdc++

# ---- the instrumented module ------------------------------------------------------
say "building vantra_cbor (clang, address+undefined, libFuzzer coverage)"
build_start=$(date +%s)
CC=clang CXX=clang++ "$venv/bin/python" -m pip install -q --disable-pip-version-check \
  --force-reinstall --no-deps "$repo" \
  --config-settings=cmake.define.VANTRA_SANITIZE=address,undefined \
  --config-settings=cmake.define.VANTRA_FUZZ=ON \
  --config-settings=install.strip=false \
  --config-settings=build-dir="$work/build" >"$work/build.log" 2>&1 \
  || { tail -50 "$work/build.log"; exit 1; }
say "built in $(( $(date +%s) - build_start ))s"

# ---- fuzzing -----------------------------------------------------------------------
# Only the harnesses get the runtime and the options, not the tools around them.
fuzz_env=(
  LD_PRELOAD="$runtime $(g++ -print-file-name=libstdc++.so 2>/dev/null || clang++ -print-file-name=libstdc++.so)"
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:handle_abort=1
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  PYTHONMALLOC=malloc  # Python's objects in ASan's heap: reads past them are reported
  PATH="$venv/bin:$PATH"  # -merge=1 runs the harness again as its own program
)
symbolizer=$(command -v llvm-symbolizer || true)
[[ -n $symbolizer ]] && fuzz_env+=(ASAN_SYMBOLIZER_PATH="$symbolizer")

mkdir -p "$artifacts"
run_one() {
  local name=$1 corpus=$work/corpus-$1
  cp -r "$fuzz_dir/corpus/$name" "$corpus"
  # Own process group: whatever the run leaves behind (a symbolizer) ends with it.
  setsid timeout --signal=KILL $(( duration + 600 )) \
    env "${fuzz_env[@]}" "$venv/bin/python" "$fuzz_dir/fuzz_$name.py" \
    -max_total_time="$duration" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$name-" "$corpus" >"$work/$name.log" 2>&1 &
  local pid=$!
  local rc=0
  wait "$pid" || rc=$?
  kill -KILL -- "-$pid" 2>/dev/null || true
  if [[ $rc == 0 && ${FUZZ_MERGE:-0} == 1 ]]; then
    env "${fuzz_env[@]}" "$venv/bin/python" "$fuzz_dir/fuzz_$name.py" -merge=1 -timeout=60 \
      "$fuzz_dir/corpus/$name" "$corpus" >"$work/$name.merge.log" 2>&1 || rc=$?
    grep -E '^MERGE-OUTER: [0-9]+ new files' "$work/$name.merge.log" | sed "s/^/   $name /" || true
  fi
  echo "$rc" >"$work/$name.rc"
}

say "fuzzing ${harnesses[*]} for ${duration}s each"
if [[ ${FUZZ_JOBS:-2} == 1 ]]; then
  for h in "${harnesses[@]}"; do run_one "$h"; done
else
  for h in "${harnesses[@]}"; do run_one "$h" & done
  wait
fi

# ---- summary -----------------------------------------------------------------------
failed=0
for h in "${harnesses[@]}"; do
  log=$work/$h.log rc=$(cat "$work/$h.rc")
  say "fuzz_$h.py: exit $rc"
  grep -E '^#[0-9]+[[:space:]]+(INITED|pulse|DONE)' "$log" | sed 's/^/   /' || true
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(grep -oE '^#[0-9]+[[:space:]]+(INITED|NEW|REDUCE|pulse|DONE)[[:space:]]+cov: [0-9]+ ft: [0-9]+' "$log" \
        | tail -1 | sed 's/.*cov/cov/' || true)  # none when the first input was a finding
  if [[ $rc != 0 ]] || ! grep -qE '^#[0-9]+[[:space:]]+DONE' "$log"; then
    failed=1
    say "FINDING in fuzz_$h.py; last lines of its log:"
    tail -60 "$log"
    ls "$artifacts"/"$h"-* 2>/dev/null | sed 's/^/   kept: /' || true
  fi
  printf '   summary %-8s executions %s, %s exec/s, %s\n' "$h" "${execs:-?}" "${speed:-?}" "${cov:-cov: ?}"
done
rm -rf "$work"
say "done in $(( $(date +%s) - started ))s"
exit "$failed"
