#!/usr/bin/env bash
# The module template as a developer uses it: installs the kit from a build into a temporary
# prefix, copies the template out of the source tree, configures, builds and installs it as a
# project of its own against that prefix only, checks that the program loads the installed
# libraries, then runs it on a dev node in hub and in daemon mode: one echo command and one
# unknown command must come back with the right answers, the template's own log configuration
# must write its file, and SIGTERM must end the module with status 0 (hub mode also checks that
# a malformed port stops the start).
#
# usage: module_template.sh <build dir> <template dir> <sanitizer flags> <cc> <cmake> <broker plugin>
#                           [<toolchain file> <emulator> [<emulator args>...]]
# A cross build passes its toolchain file and the emulator that runs the target's programs
# (qemu-aarch64 -L /); the dev node always runs natively.
set -euo pipefail
build=$1 template=$2 san=$3 cc=$4 cmake=$5 plugin=$6
toolchain=${7:-}
emulator=("${@:8}")
root=$(cd "$(dirname "$0")/.." && pwd)
devnode=("$root/devnode/gravel-devnode")

tmp=$(mktemp -d /tmp/gravel-template.XXXXXX)
module_pid=""
node_dir=""
failed=1
finish() {
  [ -n "$module_pid" ] && kill -KILL "$module_pid" 2>/dev/null
  [ -n "$node_dir" ] && "${devnode[@]}" down --dir "$node_dir" >/dev/null 2>&1
  if [ $failed -eq 0 ]; then rm -rf "$tmp"; else echo "kept for inspection: $tmp"; fi
}
trap finish EXIT
fail() {
  echo "FAILED: $*" >&2
  if [ -f "$tmp/module.out" ]; then
    echo "--- last lines of the module's output" >&2
    tail -n 25 "$tmp/module.out" >&2
  fi
  exit 1
}

# 1. The kit, installed; the template, copied out of the source tree and built against it.
"$cmake" --install "$build" --prefix "$tmp/kit" >/dev/null
cp -r "$template" "$tmp/src"
if [ -n "$toolchain" ]; then compiler=(-DCMAKE_TOOLCHAIN_FILE="$toolchain"); else compiler=(-DCMAKE_C_COMPILER="$cc"); fi
"$cmake" -S "$tmp/src" -B "$tmp/build" "${compiler[@]}" -DCMAKE_PREFIX_PATH="$tmp/kit" \
  -DCMAKE_INSTALL_PREFIX="$tmp/module" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  -DCMAKE_C_FLAGS="$san -Werror" -DCMAKE_EXE_LINKER_FLAGS="$san" >"$tmp/configure.out" 2>&1 \
  || { cat "$tmp/configure.out" >&2; fail "the template does not configure"; }
gravel_dir=$(sed -n 's/^gravel_DIR:PATH=//p' "$tmp/build/CMakeCache.txt")
case $gravel_dir in "$tmp/kit/"*) ;; *) fail "find_package(gravel) found $gravel_dir, not the installed kit" ;; esac
"$cmake" --build "$tmp/build" >"$tmp/build.out" 2>&1 || { cat "$tmp/build.out" >&2; fail "the template does not build"; }
"$cmake" --install "$tmp/build" >/dev/null
module=$tmp/module/bin/my-module
[ -x "$module" ] || fail "no program installed at $module"
grep -qx "ExecStart=$module" "$tmp/module/lib/systemd/system/my-module.service" \
  || fail "the installed unit file does not start $module"
log_conf=$tmp/module/share/my-module/sdk_log.conf
[ -f "$log_conf" ] || fail "no log configuration installed"

# 2. The installed program loads the installed libraries (the loader's own list, under the
# emulator for a cross build), never those of the build tree.
if [ ${#emulator[@]} -gt 0 ]; then
  loaded=$("${emulator[0]}" -E LD_TRACE_LOADED_OBJECTS=1 "${emulator[@]:1}" "$module")
else
  loaded=$(LD_TRACE_LOADED_OBJECTS=1 "$module")
fi
gravel_libs=$(grep 'libgravel-' <<<"$loaded" || true)
for lib in base property cipher configs http mqtt json httpconns mqttconns; do
  line=$(grep "libgravel-$lib\.so" <<<"$gravel_libs" || true)
  case $line in *"=> $tmp/kit/"*) ;; *) fail "libgravel-$lib is not loaded from the installed kit: ${line:-not loaded}" ;; esac
done
echo "template built against the installed kit; it loads all nine libraries from $tmp/kit"

# Checks that the JSON text $1 equals the JSON text $2 (as values, whatever the key order).
same_json() {
  python3 -c 'import json, sys; sys.exit(0 if json.loads(sys.argv[1]) == json.loads(sys.argv[2]) else 1)' "$1" "$2" \
    2>/dev/null
}

# Waits up to $2 seconds for a line of the module's output matching the extended regular
# expression $1, while the module runs.
wait_module() {
  local pattern=$1 limit=$2 i
  for ((i = 0; i < limit * 10; i++)); do
    grep -Eq -- "$pattern" "$tmp/module.out" 2>/dev/null && return 0
    kill -0 "$module_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# send_command <module id> <name> <paras> <expected answer>
send_command() {
  local rsp
  rsp=$("${devnode[@]}" send-command --dir "$node_dir" "$1" "$2" "$3" --timeout 15 2>"$tmp/send.err") \
    || fail "command $2 got no answer: $(cat "$tmp/send.err")"
  same_json "$rsp" "$4" || fail "command $2: expected $4, got $rsp"
  echo "  command $2 $3 -> $rsp"
}

# 3. On a dev node, once per mode.
for mode in hub daemon; do
  node_dir=$tmp/node-$mode
  up=(up --dir "$node_dir" --plugin "$plugin")
  [ $mode = daemon ] && up+=(--daemon)
  "${devnode[@]}" "${up[@]}" >"$tmp/up.out" 2>&1 || { cat "$tmp/up.out" >&2; fail "the dev node did not come up"; }
  env_file=$(sed -n 's/^module .* env //p' "$tmp/up.out" | head -n1)
  module_id=$(sed -n 's/^module \([^ ]*\) .*/\1/p' "$tmp/up.out" | head -n1)
  [ -n "$env_file" ] && [ -n "$module_id" ] || fail "unexpected output of up: $(cat "$tmp/up.out")"
  # The template's own log configuration instead of the node's.
  work_dir=$(sed -n 's/^GRAVEL_WORK_DIR=//p' "$env_file")
  cp "$log_conf" "$work_dir/conf/sdk_log.conf"

  # The template takes its settings from the environment: module.env loaded as a shell would.
  # A port that is not a number stops it at start, instead of a connect to port 0 retried forever.
  if [ $mode = hub ]; then
    status=0
    (set -a; . "$env_file"; GRAVEL_BROKER_PORT=88x3; set +a; exec timeout 60 "${emulator[@]}" "$module") \
      >"$tmp/module.out" 2>&1 || status=$?
    [ $status -eq 1 ] && grep -q "GRAVEL_BROKER_PORT (1-65535) are required" "$tmp/module.out" \
      || fail "a broker port of 88x3: expected a refused start with status 1, got status $status"
    echo "  a broker port of 88x3 is refused at start"
  fi
  (set -a; . "$env_file"; set +a; exec "${emulator[@]}" "$module") >"$tmp/module.out" 2>&1 &
  module_pid=$!
  wait_module "my-module: connected to the broker" 60 || fail "$mode mode: the module did not connect"
  echo "$mode mode: module $module_id connected"
  send_command "$module_id" echo '{"text":"from the cloud","n":7}' \
    '{"result_code":0,"response_name":"echo","paras":{"text":"from the cloud","n":7}}'
  send_command "$module_id" reboot '{}' '{"result_code":1,"response_name":"reboot","paras":{"error":"unknown command"}}'
  grep -q "my-module: command reboot answered, result code 1" "$work_dir/log/sdk.log" 2>/dev/null \
    || fail "the template's log configuration wrote no $work_dir/log/sdk.log with the answers"

  kill -TERM "$module_pid"
  for ((i = 0; i < 200; i++)); do kill -0 "$module_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$module_pid" 2>/dev/null && fail "$mode mode: the module did not exit within 20 s of SIGTERM"
  status=0
  wait "$module_pid" || status=$?
  module_pid=""
  [ $status -eq 0 ] || fail "$mode mode: the module exited with status $status after SIGTERM"
  grep -q '^my-module: stopped$' "$tmp/module.out" || fail "$mode mode: no clean stop"
  echo "  SIGTERM: exit status 0"

  "${devnode[@]}" down --dir "$node_dir" >/dev/null || fail "the dev node did not go down"
  node_dir=""
done

failed=0
echo "the module template works on the installed kit, in hub and daemon mode"
