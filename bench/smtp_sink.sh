# Sourced by the SMTP benchmarks: a temporary folder $work and the local SMTP sink
# (tests/fixtures/smtp_server.py --sink) listening on $port, both gone when the script exits.
# Needs $here (the source tree) and $python set by the caller.
work=$(mktemp -d)
sink_pid=
cleanup() {
  exec 3>&- 2>/dev/null || true
  [[ -n $sink_pid ]] && kill "$sink_pid" 2>/dev/null && wait "$sink_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The sink runs until its stdin closes; the benchmark holds that pipe on fd 3.
mkfifo "$work/sink.in"
"$python" "$here/tests/fixtures/smtp_server.py" --sink <"$work/sink.in" >"$work/sink.out" &
sink_pid=$!
exec 3>"$work/sink.in"
read -r _ port < <(while ! grep -q '^PORT' "$work/sink.out" 2>/dev/null; do
  kill -0 "$sink_pid" 2>/dev/null || exit 1; sleep 0.1; done; cat "$work/sink.out")
