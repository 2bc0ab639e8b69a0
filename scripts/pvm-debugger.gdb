# gdb commands of pvm-debugger.sh: run the task; on a crash print a backtrace.
set pagination off
set confirm off
set width 0
set print inferior-events off
set print thread-events off
run
if $_isvoid($_exitcode)
  echo \n*** task stopped by a signal; backtrace:\n
  bt
  quit 128 + $_siginfo.si_signo
else
  quit $_exitcode
end
