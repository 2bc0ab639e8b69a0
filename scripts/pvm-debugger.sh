#!/bin/bash
# PVM's debugger script (PVM_DEBUGGER), used for tasks spawned with PvmTaskDebug:
# pvmd runs it as 'pvm-debugger.sh PROGRAM ARGS...'. It runs the task without a
# terminal under gdb in batch mode; on a crash gdb prints the signal and a
# backtrace into the task's output. Exits with the task's exit status, or
# 128 + the signal number when the task was stopped by a signal.
(($# >= 1)) || { echo "usage: pvm-debugger.sh program [args...]" >&2; exit 2; }
exec gdb -q -batch -nx -x "$(dirname "${BASH_SOURCE[0]}")/pvm-debugger.gdb" --args "$@" </dev/null
