# Shared by the scripts: sourced, never run. Loads strict mode, reports any
# failing step in words, and holds the steps every script repeats.
#
#   source "$(dirname "$0")/lib.sh"
#   step "importing tesmerine under CPython 3.10" python -c 'import tesmerine'
#
# Every command that fails (a command substitution included) is reported
# with the line, the command and, when a signal ended it, the signal's name:
#   scripts/test.sh: line 25: `so_hash=$(...)` died with signal 4 (SIGILL)
# A step's own description replaces the command where `step` ran it.
set -Eeuo pipefail

# "exited with status N" or "died with signal N (SIGNAME)" for an exit status.
describe_status() {
  local status=$1
  if [ "$status" -gt 128 ] && [ "$status" -lt 160 ]; then
    echo "died with signal $((status - 128)) (SIG$(kill -l $((status - 128)) 2>/dev/null || echo '?'))"
  else
    echo "exited with status $status"
  fi
}

# Runs a command; on failure says which step failed and how, and returns
# its status (so that `set -e` stops the script, or `||` goes on).
step() {
  local what=$1 status=0
  shift
  "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "${0##*/}: $what $(describe_status "$status")" >&2
    _lib_reported=$status
  fi
  return "$status"
}

_lib_on_error() {
  local status=$1 line=$2 command=$3
  # A step has already said what failed, and a failure inside a command
  # substitution is reported once, by the command that ran it.
  if [ "${_lib_reported:-}" != "$status" ] && [ "$BASH_SUBSHELL" -eq 0 ]; then
    echo "${0##*/}: line $line: \`$command\` $(describe_status "$status")" >&2
  fi
  _lib_reported=
}
trap '_lib_on_error $? $LINENO "$BASH_COMMAND"' ERR

# Runs a command in another directory: step "..." in_dir DIR COMMAND...
in_dir() {
  (cd "$1" && shift && exec "$@")
}

pip_quiet=(--quiet --disable-pip-version-check)

# A virtual environment at DIR made by PYTHON (once), with the requirements
# of the given files or specifiers installed: ensure_venv DIR PYTHON [ARGS...]
ensure_venv() {
  local dir=$1 python=$2
  shift 2
  [ -x "$dir/bin/python" ] || step "making the virtual environment $dir with $python" "$python" -m venv "$dir"
  if [ $# -gt 0 ]; then
    step "installing $* into $dir" "$dir/bin/python" -m pip install "${pip_quiet[@]}" "$@"
  fi
}
