# Step runner for the demo scripts (sourced, not run):
#
#   . scripts/demo-lib.sh
#   demo_begin <log-dir>              where this run's step logs go (emptied)
#   demo_step "<name>" <command...>   runs the command; its output goes to the
#                                     terminal and to <log-dir>/NN-<name>.log
#   demo_fail "<message>"             ends the running step as failed
#
# The first step whose command fails ends the demo: a message names the step,
# its exit code and its log, and the script exits with status 1. Inside a
# step's command, demo_fail makes the step fail with a reason (for a result
# that is wrong although every program exited well).
#
# Screenshots and other results that a run replaces: write them into
# "$(demo_fresh_dir <dir>)" and call demo_keep <dir> once they are complete;
# until then the previous run's <dir> stays as it was.

demo_log_dir=""
demo_step_count=0

demo_begin() {
  demo_log_dir=$1
  rm -rf "$demo_log_dir"
  mkdir -p "$demo_log_dir"
  demo_step_count=0
}

demo_fail() {
  echo "   FAILED: $*" >&2
  return 1
}

# A log file name from the step's name: "signed sync from X" -> 03-signed-sync-from-x.log
demo_log_name() {
  local slug
  slug=$(printf '%s' "$1" | tr 'A-Z' 'a-z' | tr -c 'a-z0-9' '-' | tr -s '-' | sed 's/^-//; s/-$//' | cut -c1-48)
  printf '%02d-%s.log' "$demo_step_count" "${slug:-step}"
}

demo_step() {
  local name=$1 log rc
  shift
  [ -n "$demo_log_dir" ] || { echo "demo_step: demo_begin was not called" >&2; exit 2; }
  demo_step_count=$((demo_step_count + 1))
  log=$demo_log_dir/$(demo_log_name "$name")
  echo
  echo "== $name"
  # The step runs in a subshell with errexit, so any failing command inside a
  # function ends it; its output is kept whole in the log.
  set +e
  ( set -eo pipefail; "$@" ) 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  set -e
  if [ "$rc" -ne 0 ]; then
    echo >&2
    echo "demo: step $demo_step_count \"$name\" failed (exit code $rc); its log: $log" >&2
    exit 1
  fi
}

# A fresh empty sibling of <dir> for the new results.
demo_fresh_dir() {
  rm -rf "$1.new"
  mkdir -p "$1.new"
  printf '%s\n' "$1.new"
}

# The new results replace the old ones only now that they are complete.
demo_keep() {
  rm -rf "$1.old"
  [ -d "$1" ] && mv "$1" "$1.old"
  mv "$1.new" "$1"
  rm -rf "$1.old"
}
