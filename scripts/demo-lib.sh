# Shell functions the demo scripts share (sourced, not run). They expect
# $updater (the updater binary) and, for await, $store.

step() { printf '\n\033[1m$ %s\033[0m\n' "$*"; }
# Runs the updater with the arguments, showing the command and its exit status.
run() {
  step "updater $*"
  local status=0
  "$updater" "$@" </dev/null || status=$?
  printf '\033[2m(exit status %d)\033[0m\n' "$status"
}
# The same with the progress bar of a terminal (script(1) lends the updater one).
run_tty() {
  step "updater $*"
  local status=0 command
  command=$(printf '%q ' "$updater" "$@")
  script -qefc "$command" /dev/null </dev/null || status=$?
  printf '\033[2m(exit status %d)\033[0m\n' "$status"
}
# Waits (at most 10 s) until discovery (the updater's arguments) finds the module
# again after its reboot.
await() {
  local serial=$1
  shift
  for _ in $(seq 20); do
    "$updater" "$@" -i "$store" </dev/null 2>/dev/null | grep -q "^    $serial " && return 0
    sleep 0.5
  done
}
# Whether the module's flash file holds the firmware that was sent.
check_flash() {
  local sent=$1 flashed=$2
  step "cmp $(basename "$sent") flash/$(basename "$flashed")"
  if cmp -s "$sent" "$flashed" 2>/dev/null; then
    echo "the module's flash holds the firmware block that was sent"
  else
    echo "the module's flash does not hold the firmware block"
  fi
}
