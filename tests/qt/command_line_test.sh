#!/bin/sh
# The program's command line, without a display: --help prints the usage and
# exits 0; an unknown option prints what is wrong and the usage on standard
# error and exits 2.
#   command_line_test.sh KLARION
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
help="$("$1" --help)" || { echo "--help: status $?"; exit 1; }
printf '%s\n' "$help" | grep -q -- '--port PORT' || { echo "--help: $help"; exit 1; }
error="$("$1" --port 8080 --bogus 2>&1 >/dev/null)"
status=$?
[ "$status" = 2 ] && printf '%s\n' "$error" | grep -q -- '--lmstudio URL' &&
  [ "$(printf '%s\n' "$error" | head -1)" = "klarion : option inconnue « --bogus »." ] ||
  { echo "--bogus: status $status, $error"; exit 1; }
