# Sourced by scripts/load-modules.sh and scripts/soak.sh: run_load MODE [options] takes the
# build tree from --build-dir DIR (default: the release preset's, built here) and runs
# scripts/gravel_load.py MODE with the other options, the memory checks, and the tree's example
# module and broker plugin.
run_load() {
  local mode=$1 build="" args=()
  shift
  while [ $# -gt 0 ]; do
    case $1 in
      --build-dir) build=$2; shift 2 ;;
      *) args+=("$1"); shift ;;
    esac
  done
  if [ -z "$build" ]; then
    build=build/release
    echo "building the release preset's example module and broker plugin ..."
    cmake --preset release >/dev/null
    cmake --build --preset release --target edge_module_example gravel-devnode-plugin >/dev/null
  fi
  local f
  for f in "$build/examples/edge_module_example" "$build/devnode/gravel-devnode-auth.so"; do
    [ -e "$f" ] || { echo "$mode: $f is missing (build the release preset first)" >&2; exit 2; }
  done
  exec python3 scripts/gravel_load.py "$mode" "${args[@]}" --check-memory \
    --plugin "$build/devnode/gravel-devnode-auth.so" "$build/examples/edge_module_example"
}
