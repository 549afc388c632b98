# shellcheck shell=bash
# Sanitized test suite, fuzz harnesses and corpus replay; sourced by ./dev,
# which provides ROOT, VENV and setup.
#
#   sanitized_suite [PYTEST ARGS]   module built with ASan + UBSan in $SAN_VENV, whole suite under it
#   replay_corpus                   C++ tests and the replay of every seed and kept fuzz finding,
#                                   built with the sanitizers
#   fuzz_all SECONDS [HARNESS...]   fuzz each harness for SECONDS, keep findings under tests/fuzz_regressions
#   fuzz_routes SECONDS [KIND...]   fuzz orvtool's readers of each kind of input through the command routes
#                                   (fuzz/orvtool_routes.py, atheris) for SECONDS, findings kept the same way

SAN_VENV=${SAN_VENV:-$ROOT/.venv-asan}
SANITIZERS=address,undefined
HARNESSES=(fuzz_load_render fuzz_palette fuzz_save)
FUZZ_BUILD=$ROOT/build/fuzz
FUZZ_WORK=$ROOT/fuzz/work
REGRESSIONS=$ROOT/tests/fuzz_regressions
# libFuzzer limits: an allocation bomb or a hang is a finding.
FUZZ_LIMITS=(-rss_limit_mb=2560 -malloc_limit_mb=2560 -timeout=20)

# clang-14 with its sanitizer and libFuzzer runtimes, from Debian's packages.
need_clang() {
    local arch
    arch=$(uname -m)
    if command -v clang++-14 >/dev/null 2>&1 &&
        [[ -f $(clang++-14 -print-file-name="libclang_rt.asan-$arch.so") ]] &&
        [[ -f $(clang++-14 -print-file-name="libclang_rt.fuzzer-$arch.a") ]]; then
        return
    fi
    apt_install clang-14 libclang-rt-14-dev
}

asan_runtime() {
    clang++-14 -print-file-name="libclang_rt.asan-$(uname -m).so"
}

# Runs a command with the ASan runtime preloaded, as the interpreter needs it
# for an instrumented extension module. Leaks are not looked for: the
# interpreter keeps its objects until exit.
with_sanitizers() {
    LD_PRELOAD="$(asan_runtime)${LD_PRELOAD:+:$LD_PRELOAD}" \
        ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:halt_on_error=1:allocator_may_return_null=0:${ASAN_OPTIONS:-}" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}" \
        "$@"
}

setup_sanitized() {
    need_clang
    # A build directory configured with another compiler would keep it.
    local cache
    for cache in "$ROOT/build/$(basename "$SAN_VENV")"/*/CMakeCache.txt; do
        if [[ -f $cache ]] && ! grep -q '^CMAKE_CXX_COMPILER:.*clang++-14$' "$cache"; then
            rm -rf "$(dirname "$cache")"
        fi
    done
    CC=clang-14 CXX=clang++-14 setup "$SAN_VENV" \
        -C cmake.build-type=RelWithDebInfo \
        -C cmake.define.CMAKE_CXX_COMPILER=clang++-14 \
        -C cmake.define.ORV_SANITIZE="$SANITIZERS"
}

sanitized_suite() {
    setup_sanitized
    echo "== test suite, module built with -fsanitize=$SANITIZERS ==" >&2
    # The browser tests drive Chromium, not the module: they ran once already.
    with_sanitizers "$SAN_VENV/bin/python" -m pytest -p no:cacheprovider --ignore-glob='*_browser.py' "$@"
}

# cmake and ninja for the harness build: the ones on PATH, else from the
# sanitized venv (pip).
fuzz_tools() {
    if [[ ! -x $SAN_VENV/bin/python ]]; then
        setup_sanitized
    fi
    if ! command -v cmake >/dev/null 2>&1 && [[ ! -x $SAN_VENV/bin/cmake ]]; then
        "$SAN_VENV/bin/python" -m pip install -q "cmake>=3.15"
    fi
    if [[ ! -x $SAN_VENV/bin/ninja ]] && ! command -v ninja >/dev/null 2>&1; then
        "$SAN_VENV/bin/python" -m pip install -q ninja
    fi
}

build_fuzzers() {
    need_clang
    fuzz_tools
    local cmake ninja
    cmake=$(PATH=$SAN_VENV/bin:$PATH command -v cmake)
    ninja=$(PATH=$SAN_VENV/bin:$PATH command -v ninja)
    "$cmake" -S "$ROOT" -B "$FUZZ_BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
        -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DORV_BUILD_MODULE=OFF -DORV_BUILD_FUZZERS=ON -DORV_SANITIZE="$SANITIZERS" >/dev/null
    "$cmake" --build "$FUZZ_BUILD" -j "${FUZZ_BUILD_JOBS:-2}"
    rm -rf "$FUZZ_WORK/seeds"
    with_sanitizers "$SAN_VENV/bin/python" "$ROOT/fuzz/make_seeds.py" "$FUZZ_WORK/seeds"
}

# seeds/<short name> for a harness fuzz_<short name>
short_name() { echo "${1#fuzz_}"; }

# The C++ tests and the replay drivers (each harness with a plain main), built
# with clang-14 and the sanitizers; ctest replays the kept findings, then every
# seed goes through its harness once.
replay_corpus() {
    need_clang
    fuzz_tools
    rm -rf "$FUZZ_WORK/seeds"
    with_sanitizers "$SAN_VENV/bin/python" "$ROOT/fuzz/make_seeds.py" "$FUZZ_WORK/seeds"
    # The executables link the sanitizer runtimes themselves: nothing preloaded.
    ASAN_OPTIONS="halt_on_error=1:${ASAN_OPTIONS:-}" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}" \
        VENV=$SAN_VENV cpp_tests "$ROOT/build/cpp-asan" \
        -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_SANITIZE="$SANITIZERS"
    local h short status=0
    for h in "${HARNESSES[@]}"; do
        short=$(short_name "$h")
        if "$ROOT/build/cpp-asan/replay_$short" "$FUZZ_WORK/seeds/$short" \
            >"$FUZZ_WORK/replay-$short.log" 2>&1; then
            echo "replay $h: $(tail -n 1 "$FUZZ_WORK/replay-$short.log")" >&2
        else
            echo "replay $h: FAILED, see $FUZZ_WORK/replay-$short.log" >&2
            tail -n 40 "$FUZZ_WORK/replay-$short.log" >&2
            status=1
        fi
    done
    return $status
}

# Keeps every crash, timeout, leak and out-of-memory input of one run as a
# regression; prints how many there were and how many of them were new.
keep_findings() {
    local short=$1 artifacts=$2 kept=0 seen=0 f
    for f in "$artifacts"/crash-* "$artifacts"/timeout-* "$artifacts"/oom-* "$artifacts"/leak-*; do
        [[ -f $f ]] || continue
        seen=$((seen + 1))
        mkdir -p "$REGRESSIONS/$short"
        if [[ ! -e $REGRESSIONS/$short/$(basename "$f") ]]; then
            cp "$f" "$REGRESSIONS/$short/"
            kept=$((kept + 1))
        fi
        rm -f "$f"
    done
    echo "$seen $kept"
}

fuzz_all() {
    local seconds=${1:-60}
    shift || true
    local chosen=("$@")
    [[ ${#chosen[@]} -gt 0 ]] || chosen=("${HARNESSES[@]}")
    build_fuzzers
    local summary=() h short corpus artifacts log deadline left execs cov ft corp findings seen new runs line
    for h in "${chosen[@]}"; do
        short=$(short_name "$h")
        [[ -x $FUZZ_BUILD/$h ]] || { echo "no harness $h" >&2; return 2; }
        corpus=$FUZZ_WORK/corpus/$short
        artifacts=$FUZZ_WORK/artifacts/$short
        mkdir -p "$corpus" "$artifacts"
        deadline=$((SECONDS + seconds))
        execs=0 findings=0 runs=0 cov='?' ft='?' corp='?'
        echo "== fuzzing $h for ${seconds}s (log: $FUZZ_WORK/$short.log) ==" >&2
        : >"$FUZZ_WORK/$short.log"
        # libFuzzer stops at a finding: keep it and go on until the time is up.
        while left=$((deadline - SECONDS)); ((left > 0)); do
            runs=$((runs + 1))
            log=$FUZZ_WORK/$short.run.log
            "$FUZZ_BUILD/$h" "${FUZZ_LIMITS[@]}" -max_total_time="$left" -max_len=32768 \
                -dict="$ROOT/fuzz/orv.dict" -close_fd_mask=2 -print_final_stats=1 \
                -artifact_prefix="$artifacts/" "$corpus" "$FUZZ_WORK/seeds/$short" >"$log" 2>&1 || true
            cat "$log" >>"$FUZZ_WORK/$short.log"
            line=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || true)
            execs=$((execs + ${line:-0}))
            line=$(grep -E '^#[0-9]+.*cov: [0-9]+' "$log" | tail -n 1 || true)
            if [[ -n $line ]]; then
                cov=$(sed -E 's/.*cov: ([0-9]+).*/\1/' <<<"$line")
                ft=$(sed -E 's/.*ft: ([0-9]+).*/\1/' <<<"$line")
                corp=$(sed -E 's/.*corp: ([0-9]+).*/\1/' <<<"$line")
            fi
            read -r seen new < <(keep_findings "$short" "$artifacts")
            findings=$((findings + new))
            if ((seen > 0)); then
                echo "$h: finding kept under tests/fuzz_regressions/$short (rename it after what it hits):" >&2
                grep -E '^(SUMMARY|==[0-9]+==ERROR)|runtime error' "$log" | head -n 5 >&2 || true
                # The same input again: fuzzing on would only find it again.
                ((new > 0)) || break
            elif ! grep -q 'stat::number_of_executed_units' "$log"; then
                echo "$h: stopped without final stats; see $FUZZ_WORK/$short.log" >&2
                tail -n 20 "$log" >&2
                break
            fi
            ((runs < 50)) || break
        done
        summary+=("$(printf '%-17s %6ss  executions %10s  cov %5s  ft %6s  corpus %5s  findings %s' \
            "$h" "$seconds" "$execs" "$cov" "$ft" "$corp" "$findings")")
    done
    echo
    echo "fuzzing summary (coverage: edges cov / features ft at the end of the last run)"
    printf '%s\n' "${summary[@]}"
}

# The requirements of one optional group of pyproject.toml.
extra_requires() {
    "$VENV/bin/python" - "$1" <<'PY'
import ast, re, sys
text = open("pyproject.toml").read()
print("\n".join(ast.literal_eval(re.search(rf"^{sys.argv[1]}\s*=\s*(\[.*?\])", text, re.M | re.S).group(1))))
PY
}

ROUTE_KINDS=(sheet export image palette)

fuzz_routes() {
    local seconds=${1:-60}
    shift || true
    local kinds=("$@") kind short corpus artifacts log execs seen new summary=()
    [[ ${#kinds[@]} -gt 0 ]] || kinds=("${ROUTE_KINDS[@]}")
    local reqs
    mapfile -t reqs < <(extra_requires fuzz)
    "$VENV/bin/python" -m pip install -q "${reqs[@]}"
    for kind in "${kinds[@]}"; do
        short=orvtool_$kind
        corpus=$FUZZ_WORK/corpus/$short
        artifacts=$FUZZ_WORK/artifacts/$short
        log=$FUZZ_WORK/$short.log
        mkdir -p "$corpus" "$artifacts"
        echo "== fuzzing orvtool's $kind readers through the command routes for ${seconds}s (log: $log) ==" >&2
        # A finding ends the run: an internal error, an exception, a hang or a memory bomb.
        "$VENV/bin/python" "$ROOT/fuzz/orvtool_routes.py" "$kind" -max_total_time="$seconds" -timeout=60 \
            -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$artifacts/" \
            "$corpus" "$ROOT/fuzz/orvtool/$kind" >"$log" 2>&1 || true
        execs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || echo '?')
        read -r seen new < <(keep_findings "$short" "$artifacts")
        if ((seen > 0)); then
            echo "$short: finding kept under tests/fuzz_regressions/$short (rename it after what it hits):" >&2
            grep -E 'InternalError|Error:' "$log" | head -n 5 >&2 || true
        fi
        summary+=("$(printf '%-17s %6ss  executions %10s  findings %s' "$short" "$seconds" "$execs" "$new")")
    done
    echo
    echo "fuzzing summary of the command routes"
    printf '%s\n' "${summary[@]}"
}
