# The shell functions that several scripts share; each script sources it
# after changing to the top of the tree:
#
#   . scripts/lib.sh
#
# configure_default           configure the default preset where not done yet
# build_default [TARGET...]   configure it, then build the targets (all
#                             without any)
# start_sim LINK LOG [ARG...] start romup-sim with its device linked at LINK
#                             and its output in LOG, and wait for the link;
#                             the process id is in $sim_pid
# stop_sim [SECONDS]          wait up to SECONDS (default 0) for romup-sim to
#                             end by itself (--once), then stop it

configure_default() {
    [ -f build/default/build.ninja ] || cmake --preset default >/dev/null
}

build_default() {
    configure_default
    if [ $# -eq 0 ]; then
        cmake --build --preset default
    else
        cmake --build --preset default --target "$@"
    fi
}

sim_pid=
start_sim() {
    local link=$1 log=$2
    shift 2
    rm -f "$link"
    "${ROMUP_SIM:-build/default/sim/romup-sim}" --link "$link" "$@" >"$log" 2>&1 &
    sim_pid=$!
    # The link appears once the device is ready for romup.
    for _ in $(seq 100); do
        [ -e "$link" ] && return 0
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "romup-sim did not start:" >&2
    cat "$log" >&2
    return 1
}

stop_sim() {
    [ -n "$sim_pid" ] || return 0
    for _ in $(seq $((${1:-0} * 10))); do
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
}
