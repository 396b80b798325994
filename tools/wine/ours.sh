# Sourced by the scripts that start and end a build tree's test servers (the
# Wine session, its watchdog, the TLS front): how they tell a process of their
# own from everyone else's, and end it. Other build trees run the same servers
# beside this one on the same machine; nothing here ends a process that a pid
# file of this tree does not name.
#
# A pid file holds "PID START": START is the process's start time (clock ticks
# since boot, /proc/PID/stat), which a later process given the same id cannot
# have. A process named by a pid file also has to show the expected words in
# its command line (the program, this tree's folder).

# One bound for every wait of these scripts, the tests' own (CMake's
# QF_EVENT_TIMEOUT_S): generous, since a loaded machine can be slow to start
# anything, and never reached when all goes well.
qf_timeout=${QF_EVENT_TIMEOUT_S:-120}

# The start time of a running process; fails when there is none, or only its
# zombie (which its parent, often init, may take a while to reap).
qf_start_time() {
  local stat
  read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
  # The command name (field 2) may hold spaces and parentheses.
  stat=${stat##*) }
  set -- $stat
  [ "$1" != Z ] && [ -n "${20:-}" ] && echo "${20}"
}

qf_cmdline() {
  tr '\0' ' ' 2>/dev/null <"/proc/$1/cmdline"
}

# Writes PIDFILE for a process that runs now.
qf_record() {
  local start
  start=$(qf_start_time "$2") || return 1
  echo "$2 $start" >"$1"
}

# Prints the id of the process PIDFILE names when that very process still
# runs and its command line holds every WORD.
qf_recorded() {
  local file=$1 pid start cmdline word
  shift
  read -r pid start _ 2>/dev/null <"$file" || return 1
  [ -n "${start:-}" ] && [ "$(qf_start_time "$pid")" = "$start" ] || return 1
  cmdline=$(qf_cmdline "$pid") || return 1
  for word; do
    [[ $cmdline == *"$word"* ]] || return 1
  done
  echo "$pid"
}

# Waits until the process with that id and start time has gone; fails after
# the bound.
qf_wait_gone() {
  local pid=$1 start=$2 waited=0
  while [ "$(qf_start_time "$pid")" = "$start" ]; do
    [ "$waited" -ge $((qf_timeout * 20)) ] && return 1
    sleep 0.05
    waited=$((waited + 1))
  done
}

# Ends a process: TERM, and KILL when it is still there after the bound. (A
# server that ignored TERM would only end later: no test can see the order.)
qf_end() {
  local pid=$1 start
  start=$(qf_start_time "$pid") || return 0
  kill -TERM "$pid" 2>/dev/null
  qf_wait_gone "$pid" "$start" && return 0
  kill -KILL "$pid" 2>/dev/null
  qf_wait_gone "$pid" "$start"
}

# Ends the process PIDFILE names if it is still ours (see qf_recorded), and
# removes the file.
qf_end_recorded() {
  local pid
  if pid=$(qf_recorded "$@"); then
    qf_end "$pid"
  fi
  rm -f "$1"
}

# The processes that listen on a TCP port of this machine, one id a line.
qf_port_holders() {
  ss -Hltnp "sport = :$1" 2>/dev/null | grep -o 'pid=[0-9]*' | cut -d= -f2 | sort -u
}

# One line that says what listens on a port: its processes and their command
# lines, or ss's own line when it cannot tell the process. A program under
# Wine listens through its prefix's server, which the line names.
qf_port_holder_line() {
  local port=$1 pid line="" prefix
  for pid in $(qf_port_holders "$port"); do
    line+="${line:+; }process $pid ($(qf_cmdline "$pid" | cut -c1-200))"
    prefix=$(tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | sed -n 's/^WINEPREFIX=//p')
    [ -n "$prefix" ] && line+=" of the Wine prefix $prefix"
  done
  [ -n "$line" ] || line=$(ss -Hltn "sport = :$port" 2>/dev/null | head -n 1 | tr -s ' ')
  echo "port $port is held by ${line:-nothing}"
}
