# shellcheck shell=bash
# Shared by the scripts that set up and end the Windows tests' Wine runs
# (sourced, not run).

# The same environment wine-emulator.sh gives the tests.
wine_env() {
  unset http_proxy https_proxy ftp_proxy all_proxy no_proxy
  unset HTTP_PROXY HTTPS_PROXY FTP_PROXY ALL_PROXY NO_PROXY
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
}

# Waits up to $1 seconds for the command in $2... to succeed.
wait_until() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# True when $1 is the PID of a live (not zombie) process whose command name
# is $2: a PID recorded by an earlier run may have been reused since.
pid_is() {
  local stat
  [[ -n $1 ]] && stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  [[ $stat == "$1 ($2) "[!Z]* ]]
}

# Starts the prefix's wineserver detached from our output. A server started
# implicitly by the first wine call inherits that call's stdout and stderr,
# which keeps ctest waiting on the pipe and stalls every later captured call.
start_wineserver() {
  WINEPREFIX=$1 wineserver -p </dev/null >/dev/null 2>&1
}

# Ends every Wine process of the prefix $1 and waits for its server to go.
stop_wineserver() {
  WINEPREFIX=$1 wineserver -k </dev/null >/dev/null 2>&1 || true
  WINEPREFIX=$1 timeout 20 wineserver -w </dev/null >/dev/null 2>&1 || true
}

# Removes the lock directory that the stopped wineserver of the prefix $1
# leaves: it is named after the prefix's device and inode, under a temp dir
# that the prefix records, and belongs to that prefix alone.
remove_server_dir() {
  local prefix=$1 server_root server_dir
  [[ -s $prefix/wineserver ]] || return 0
  server_root=${TMPDIR:-/tmp}/$(<"$prefix/wineserver")
  server_dir=$server_root/$(printf 'server-%x-%x' "$(stat -c %d "$prefix")" "$(stat -c %i "$prefix")")
  if [[ $(basename "$server_root") == wine-* ]]; then
    rm -rf "$server_dir"
    rmdir "$server_root" 2>/dev/null || true
  fi
}

# What a finished template prefix holds: the version of the Wine that made it.
# A template without it, or made by another Wine, is made again.
TEMPLATE_MARK=.orbel-template-ready

# True when the template prefix $1 was made to the end by this machine's Wine.
template_current() {
  [[ -e $1/$TEMPLATE_MARK && $(<"$1/$TEMPLATE_MARK") == "$(wine --version 2>/dev/null)" ]]
}

# make_template TEMPLATE BASE CHECK COMMAND...
# Makes the template prefix TEMPLATE in a staging directory beside it, from a
# copy of the template BASE (or from nothing when BASE is empty): runs
# COMMAND... there with the prefix's wineserver up and no display, output to
# TEMPLATE.log; checks that the registry the server writes out when it stops
# has the line CHECK; marks the result finished and puts it in TEMPLATE's place.
# The caller holds the lock of the templates involved.
make_template() {
  local template=$1 base=$2 check=$3
  shift 3
  local staging="$template.make.$$"
  local log="$template.log"
  rm -rf "$staging"
  if [[ -n $base ]]; then
    cp -a "$base" "$staging"
    rm -f "$staging/$TEMPLATE_MARK"
  else
    mkdir -p "$staging"
  fi
  if ! (
    set -e
    export WINEPREFIX=$staging
    unset DISPLAY
    start_wineserver "$staging"
    "$@"
    stop_wineserver "$staging"
  ) </dev/null >"$log" 2>&1; then
    stop_wineserver "$staging"
    remove_server_dir "$staging"
    rm -rf "$staging"
    echo "making the template prefix $template failed; see $log" >&2
    return 1
  fi
  remove_server_dir "$staging"
  if ! grep -qxF "$check" "$staging/user.reg"; then
    rm -rf "$staging"
    echo "the template prefix $template lost its registry settings; see $log" >&2
    return 1
  fi
  wine --version >"$staging/$TEMPLATE_MARK" 2>/dev/null
  rm -rf "$template"
  mv "$staging" "$template"
}

# run_from_derived_template BASE TEMPLATE RUN_DIR WHAT CHECK COMMAND...
# Sets up a run whose template is the booted template BASE (made by the fixture
# "wine_run") with one change: makes TEMPLATE from BASE with make_template
# (CHECK and COMMAND... as there) unless it is current, then becomes
# run-setup.sh for TEMPLATE and RUN_DIR. WHAT names the template in messages.
run_from_derived_template() {
  local base=$1 template=$2 run_dir=$3 what=$4 check=$5
  shift 5
  # The base template's own lock: nobody boots it again while it is copied.
  exec 9>"$base.lock"
  flock 9
  if ! template_current "$base"; then
    echo "the base template $base is not booted (the fixture wine_run boots it)" >&2
    exit 1
  fi
  if ! template_current "$template"; then
    echo "making $what from $base (log: $template.log)"
    make_template "$template" "$base" "$check" "$@"
  fi
  flock -u 9
  exec 9>&-
  exec "$(dirname "${BASH_SOURCE[0]}")/run-setup.sh" "$template" "$run_dir"
}

# PIDs of the live Wine processes of the prefix $1 (its wineserver and every
# Windows process: their executable is one of Wine's, and WINEPREFIX=$1 is in
# their environment), or only of those whose command line starts with $2.
# The environment alone is not enough: the shell that exported it has it too.
prefix_pids() {
  local environ pid exe
  for environ in /proc/[0-9]*/environ; do
    grep -qzxF "WINEPREFIX=$1" "$environ" 2>/dev/null || continue
    pid=${environ#/proc/}
    pid=${pid%/environ}
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
    [[ ${exe##*/} == wine* ]] || continue
    [[ $(cat "/proc/$pid/stat" 2>/dev/null) == *") "[!Z]* ]] || continue
    [[ -z ${2:-} || $(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") == "$2"* ]] || continue
    echo "$pid"
  done
}
