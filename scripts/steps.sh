# Sourced by the scripts that prove a platform by emulation (test-aarch64,
# test-windows): named steps, each timed, and commands whose output goes to a
# log shown only when they fail. The sourcing script sets `script` to its
# name first.
started=$SECONDS
step_names=()
step_seconds=()
step_started=$SECONDS

# Ends the step before, if any, and starts the one named $1.
step() {
  if [ ${#step_names[@]} -gt 0 ]; then step_seconds+=($((SECONDS - step_started))); fi
  step_names+=("$1")
  step_started=$SECONDS
  printf '\n== %s (%d s in)\n' "$1" $((SECONDS - started))
}

fail() { echo "$script: $*" >&2; exit 1; }

# Runs a command with its output added to a log, shown only when it fails.
logged() {
  local log=$1
  shift
  "$@" >>"$log" 2>&1 || { grep -v 'is ignored: it is neither' "$log" | tail -n 40; fail "failed: $* (see $log)"; }
}

# Ends the last step and prints the seconds each step took.
step_times() {
  step_seconds+=($((SECONDS - step_started)))
  step_started=$SECONDS
  local index
  for index in "${!step_names[@]}"; do
    printf '  %4d s  %s\n' "${step_seconds[$index]}" "${step_names[$index]}"
  done
}
