# Sourced by the bench scripts that measure calls through a private sound server. Needs `server` (pulse or
# pipewire), `work` (the run's directory) and `here` (the bench folder) set, and `pids` an array.
#   start_private_server: starts the daemon under $work and exports its environment;
#   stop_private_server: kills the processes in pids and stops the daemon.

start_private_server() {
    if [ "$server" = pulse ]; then
        eval "$("$here/../scripts/pulse-server" start "$work/pulse" | sed 's/^/export /')"
    else
        eval "$("$here/../scripts/pw-server" start "$work/pw" | sed 's/^/export /')"
    fi
}

stop_private_server() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    if [ "$server" = pulse ]; then
        "$here/../scripts/pulse-server" stop "$work/pulse" >/dev/null 2>&1 || true
    else
        "$here/../scripts/pw-server" stop "$work/pw" >/dev/null 2>&1 || true
    fi
}
