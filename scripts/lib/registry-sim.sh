# Sourced by the scripts that run the program against registry-sim (a loopback double of the
# registry and the Bot API).
#
# start_registry_sim SIM DIR [ARGS...]: starts the registry-sim executable SIM in the background with
# ARGS, its certificate written to DIR/registry-sim.pem (for BotApiCaFile) and its output to
# DIR/registry-sim.out. Sets sim_pid at once and sim_url once it listens; when it does not start
# within thirty seconds (a loaded machine), prints its output and returns 1.
start_registry_sim() {
  local sim=$1 dir=$2
  shift 2
  "$sim" "$@" --cert-out "$dir/registry-sim.pem" >"$dir/registry-sim.out" 2>&1 &
  sim_pid=$!
  sim_url=""
  for _ in $(seq 1 300); do
    sim_url=$(head -n 1 "$dir/registry-sim.out" 2>/dev/null || true)
    case "$sim_url" in https://*) return 0 ;; esac
    sleep 0.1
  done
  echo "registry-sim did not start:" >&2
  cat "$dir/registry-sim.out" >&2
  return 1
}
