# What the side-by-side scripts share; sourced, not run. The sourcing script names itself in
# $name and its usage line in $usage before calling these.

# bench_options ARGS...: reads --quick, --only link|loopback and --rounds N from the front of
# ARGS into quick, only and rounds (--quick sets rounds to $quick_rounds when that is set);
# leaves in nopts how many words it read, for the caller to shift.
bench_options() {
    nopts=0
    while [ $# -gt 0 ]; do
        case $1 in
        --quick) quick=1 rounds=${quick_rounds:-$rounds} ;;
        --only) only=$2; shift; nopts=$((nopts + 1)) ;;
        --rounds) rounds=$2; shift; nopts=$((nopts + 1)) ;;
        -*) echo "usage: $0 $usage" >&2; exit 2 ;;
        *) break ;;
        esac
        shift
        nopts=$((nopts + 1))
    done
    case $only in ""|link|loopback) ;; *) echo "$name: --only link or loopback" >&2; exit 2 ;; esac
}

# Every process a script starts is noted by pid in $s/pids (measures run in subshells);
# stop_started ends and reaps them all.
started() { echo "$1" >>"$s/pids"; }
stop_started() {
    local p
    [ -f "$s/pids" ] || return 0
    for p in $(cat "$s/pids"); do kill "$p" 2>/dev/null || true; done
    for p in $(cat "$s/pids"); do wait "$p" 2>/dev/null || true; done
}
