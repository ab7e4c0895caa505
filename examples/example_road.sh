#!/usr/bin/env bash
# The example module's whole road on a local dev node, step by step with a short transcript:
# the node comes up (broker, hub, and in daemon mode the local daemon), the module starts,
# binds and connects, three commands are answered, the broker restarts and the module
# reconnects by itself, one more command, (daemon mode: the token is renewed), SIGTERM and a
# clean exit, the node goes down. Exits 0 only when every step was seen.
#
# usage: examples/example_road.sh [--daemon [--expire-token]] [--plugin PATH] [--keep] <example binary> [<emulator> [args...]]
#   --expire-token  daemon mode: the daemon's first renewal hands out a token that has already
#             expired; after a broker restart the broker refuses it, and the module comes back
#             once its next renewal (30 s later) brings a good one (adds about a minute)
#   --plugin  the broker plugin (default: the dev node looks in build/*/devnode/)
#   --keep    keep the node's folder (it is kept anyway when a step fails)
#   A cross build passes the emulator that runs the module (qemu-aarch64 -L ...); the dev
#   node itself runs natively.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
devnode=("$root/devnode/gravel-devnode")

mode=hub
plugin=()
keep=0
expire=0
while [ $# -gt 0 ]; do
  case $1 in
    --daemon) mode=daemon; shift ;;
    --plugin) plugin=(--plugin "$2"); shift 2 ;;
    --keep) keep=1; shift ;;
    --expire-token) expire=1; shift ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) break ;;
  esac
done
[ $expire -eq 0 ] || [ $mode = daemon ] || { echo "--expire-token needs --daemon" >&2; exit 2; }
[ $# -ge 1 ] || { sed -n '9p' "$0" | sed 's/^# //' >&2; exit 2; }
example=$1
shift
emulator=("$@")

start=$(date +%s.%N)
now() { date +%s.%N; }
seconds_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
say() { printf '[%5ss] %s\n' "$(seconds_between "$start" "$(now)")" "$*"; }
steps=0
step() { steps=$((steps + 1)); say "$*"; }

dir=$(mktemp -d /tmp/gravel-road.XXXXXX)
module_pid=""
watch_pid=""
failed=1
finish() {
  [ -n "$module_pid" ] && kill -KILL "$module_pid" 2>/dev/null
  [ -n "$watch_pid" ] && kill "$watch_pid" 2>/dev/null
  "${devnode[@]}" down --dir "$dir/node" >/dev/null 2>&1 || true
  if [ $failed -eq 0 ] && [ $keep -eq 0 ]; then
    rm -rf "$dir"
  else
    echo "the node's folder is kept: $dir (module output: $dir/module.out, broker log: $dir/node/broker/mosquitto.log)"
  fi
}
trap finish EXIT
fail() {
  say "FAILED: $*"
  if [ -f "$dir/module.out" ]; then
    echo "--- last lines of the module's output"
    tail -n 25 "$dir/module.out"
  fi
  exit 1
}

# Waits up to $2 seconds for a line of the module's output matching the extended regular
# expression $1; prints the line.
wait_module() {
  local pattern=$1 limit=$2 i line
  for ((i = 0; i < limit * 10; i++)); do
    line=$(grep -E -m1 -- "$pattern" "$dir/module.out" 2>/dev/null || true)
    if [ -n "$line" ]; then printf '%s\n' "$line"; return 0; fi
    if ! kill -0 "$module_pid" 2>/dev/null; then return 1; fi
    sleep 0.1
  done
  return 1
}

# Sends a command and checks its result code; prints the response and the round trip.
command_step() {
  local name=$1 paras=$2 code=$3 rsp err
  if ! rsp=$("${devnode[@]}" send-command --dir "$dir/node" "$module_id" "$name" "$paras" --timeout 10 2>"$dir/send.err"); then
    fail "command $name got no response: $(cat "$dir/send.err")"
  fi
  err=$(grep -o 'round trip [0-9.]* ms' "$dir/send.err" || true)
  grep -q "\"result_code\":$code[,}]" <<<"$rsp" || fail "command $name: expected result code $code, got $rsp"
  step "command $name $paras -> $rsp (${err:-no time})"
}

echo "== the example module on a local dev node ($mode mode) =="

# 1. The node.
up_args=(up --dir "$dir/node" "${plugin[@]}")
[ $mode = daemon ] && up_args+=(--daemon)
mkdir -p "$dir/node"
if ! "${devnode[@]}" "${up_args[@]}" >"$dir/up.out" 2>&1; then
  cat "$dir/up.out"
  fail "the dev node did not come up"
fi
broker=$(sed -n 's/^broker \([^ ]*\).*/\1/p' "$dir/up.out")
hub=$(sed -n 's/^hub //p' "$dir/up.out")
env_file=$(sed -n 's/^module .* env //p' "$dir/up.out" | head -n1)
module_id=$(sed -n 's/^module \([^ ]*\) .*/\1/p' "$dir/up.out" | head -n1)
[ -n "$broker" ] && [ -n "$env_file" ] && [ -n "$module_id" ] || fail "unexpected output of up: $(cat "$dir/up.out")"
if [ $mode = daemon ]; then
  step "dev node up: broker $broker (TLS), hub $hub, daemon $(sed -n 's/^daemon //p' "$dir/up.out")"
else
  step "dev node up: broker $broker (TLS), hub $hub"
fi

# What the module publishes, as the cloud side sees it.
"${devnode[@]}" watch --dir "$dir/node" "$module_id" --timeout 600 >"$dir/watch.out" 2>"$dir/watch.err" &
watch_pid=$!
for ((i = 0; i < 100; i++)); do grep -q watching "$dir/watch.err" 2>/dev/null && break; sleep 0.1; done
grep -q watching "$dir/watch.err" || fail "watch did not start: $(cat "$dir/watch.err")"

# 2. The module: binds, connects, reports its version and sends an event.
"${emulator[@]}" "$example" "$env_file" >"$dir/module.out" 2>&1 &
module_pid=$!
wait_module 'example: (bound|already bound|hub accepted)' 30 >/dev/null || fail "the module did not bind"
wait_module 'example: connected to the broker \(connection 1\)' 30 >/dev/null || fail "the module did not connect"
if [ $mode = daemon ]; then
  step "module $module_id started (pid $module_pid): bound through the daemon, connected with its daemon token"
else
  step "module $module_id started (pid $module_pid): bound with the hub, connected with its HMAC password"
fi
for ((i = 0; i < 100; i++)); do
  grep -q "/modules/$module_id/sdk/version " "$dir/watch.out" && grep -q "modules/$module_id/sys/events/up " "$dir/watch.out" && break
  sleep 0.1
done
grep -q "/modules/$module_id/sdk/version " "$dir/watch.out" || fail "no version report reached the cloud side"
grep -q "modules/$module_id/sys/events/up .*module_connected" "$dir/watch.out" || fail "no event reached the cloud side"
step "the cloud side saw the version report $(sed -n "s|^/modules/$module_id/sdk/version ||p" "$dir/watch.out" | head -n1) and the connected event"

if [ $expire -eq 1 ]; then
  armed=$("${devnode[@]}" expire-token --dir "$dir/node" "$module_id") || fail "expire-token failed"
  step "$armed"
fi

# 3. Three commands.
command_step echo '{"text":"hello, node"}' 0
command_step add '{"a":2,"b":40}' 0
command_step reboot '{}' 1

# 4. The broker goes away and comes back: the module reconnects by itself.
restart_at=$(now)
restarted=$("${devnode[@]}" restart-broker --dir "$dir/node") || fail "the broker did not restart"
line=$(wait_module 'example: connected to the broker \(connection 2\)' 60) || fail "the module did not reconnect"
back_at=$(now)
step "$restarted; the module reconnected $(seconds_between "$restart_at" "$back_at") s after the restart began"
command_step echo '{"after":"reconnect"}' 0

# 5. Daemon mode: the sign loop renews the token (its first renewal comes 10 s after the start).
if [ $mode = daemon ]; then
  line=$(wait_module 'sleep_time:' 40) || fail "no token renewal seen"
  step "the sign loop renewed the daemon token: ${line##*] }"
fi
if [ $expire -eq 1 ]; then
  # The renewed token has expired: the broker refuses it once the module has to reconnect.
  restart_at=$(now)
  restarted=$("${devnode[@]}" restart-broker --dir "$dir/node") || fail "the broker did not restart"
  for ((i = 0; i < 300; i++)); do
    grep -q "refused client module_${module_id}_1_.*daemon token expired" "$dir/node/broker/mosquitto.log" && break
    sleep 0.1
  done
  grep -q "refused client module_${module_id}_1_.*daemon token expired" "$dir/node/broker/mosquitto.log" \
    || fail "the broker did not refuse the expired token"
  step "$restarted; the broker refused the module's expired daemon token"
  wait_module 'example: connected to the broker \(connection 3\)' 100 >/dev/null \
    || fail "the module did not come back after its next renewal"
  step "the next renewal brought a good token: the module reconnected $(seconds_between "$restart_at" "$(now)") s after the restart"
  command_step echo '{"after":"token renewal"}' 0
fi

# 6. A clean stop.
for ((i = 0; i < 100; i++)); do grep -q "/modules/$module_id/points/report " "$dir/watch.out" && break; sleep 0.1; done
grep -q "/modules/$module_id/points/report " "$dir/watch.out" || fail "no points report reached the cloud side"
reports=$(grep -c "/modules/$module_id/points/report " "$dir/watch.out")
stop_at=$(now)
kill -TERM "$module_pid"
status=0
for ((i = 0; i < 150; i++)); do kill -0 "$module_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$module_pid" 2>/dev/null && fail "the module did not exit within 15 s of SIGTERM"
wait "$module_pid" || status=$?
module_pid=""
[ $status -eq 0 ] || fail "the module exited with status $status"
summary=$(grep -m1 'example module stopped cleanly' "$dir/module.out") || fail "no clean-stop line"
step "SIGTERM: the module exited 0 after $(seconds_between "$stop_at" "$(now)") s: $summary; points reports seen by the cloud side: $reports"

# 7. The node goes down.
kill "$watch_pid" 2>/dev/null || true
wait "$watch_pid" 2>/dev/null || true
watch_pid=""
"${devnode[@]}" down --dir "$dir/node" >/dev/null || fail "the dev node did not go down"
step "dev node down"

failed=0
echo "== all $steps steps seen =="
