#!/bin/tcsh -f
#
# unistall.sh ROOT
#
# Removes the Vasquill installation that lies below ROOT: "/" for the machine
# itself, or the folder a staged installation was put into.  Runs as the
# super-user.
#
# The watchdogs are stopped first, so that nothing they watch is opened again,
# then the service and the companion.  Then every file the installation put
# down is removed, and nothing else: the software UKey's key stores and the
# log files stay, and so do the folders that held the removed files.  The
# login items are the user's and, for an installation from the Debian package,
# the system's (XDG autostart).  Running it again finds nothing to do.  It says
# nothing unless something fails; then the last failure is on standard error
# and the exit status is 1.

unalias "*"
unset noglob
set path = (/usr/sbin /usr/bin /sbin /bin)

if ($#argv != 1) then
  echo "usage: unistall.sh ROOT" > /dev/stderr
  exit 2
endif
set root = "$1"
if ("$root" == "") then
  echo "unistall.sh: the installation root is empty" > /dev/stderr
  exit 2
endif
if ("$root" !~ /*) then
  echo "unistall.sh: the installation root must be an absolute path: $root" > /dev/stderr
  exit 2
endif

# Every path below is the prefix followed by the path of a real installation;
# the prefix of "/" is empty.
set prefix = "$root"
while ("$prefix" =~ */)
  set prefix = "$prefix:h"
end

# The user whose login items the installation added: the one who asked for
# the removal, not the super-user it runs as.
if ($?PKEXEC_UID) then
  set uid = "$PKEXEC_UID"
else if ($?SUDO_UID) then
  set uid = "$SUDO_UID"
else
  set uid = "`id -u`"
endif
set home = ""
if ("$uid" != "" && "$uid" !~ *[^0-9]*) then
  set home = "`getent passwd $uid | cut -d: -f6`"
endif

set applications = "$prefix/Applications"
set support = "$prefix/Library/Application Support/Vasquill"
set driver = "$prefix/Users/halvorn/Documents/testlib/Build/Products/Debug/libtestlib.dylib"

set items = ( \
  "$applications/VasquillService.app" \
  "$applications/TrelmossService.app" \
  "$applications/Vasquill.app" \
  "$applications/Trelmoss.app" \
  "$applications/TarvenUninstallServer.app" \
  "$support" \
  "$prefix/usr/local/lib/tarven_ukey.dylib" \
  "$prefix/usr/local/lib/tarven_ukey.dylib.sig" \
  "$driver" \
  "$driver.sig" \
  "$prefix/usr/local/bin/vasquill-cli" \
  "$prefix/usr/local/bin/vasquill-provision" \
  "$prefix/usr/local/bin/vasquill-sign" \
  "$prefix/etc/xdg/autostart/VasquillService.desktop" \
  "$prefix/etc/xdg/autostart/TrelmossService.desktop" \
  "$prefix/etc/xdg/autostart/Vasquill.desktop" )
if ("$home" =~ /*) then
  set autostart = "$prefix$home/.config/autostart"
  set items = ( $items:q \
    "$autostart/VasquillService.desktop" \
    "$autostart/TrelmossService.desktop" \
    "$autostart/Vasquill.desktop" )
endif

# Running programs are known by their executable's real path.
set realprefix = ""
if ("$prefix" != "") then
  setenv UNISTALL_PREFIX "$prefix"
  set realprefix = "`printenv UNISTALL_PREFIX | xargs -r -d '\n' realpath -m --`"
  unsetenv UNISTALL_PREFIX
endif
set realapplications = "$realprefix/Applications"
set watchdogs = ( \
  "$realapplications/VasquillService.app/Contents/MacOS/VasquillService" \
  "$realapplications/TrelmossService.app/Contents/MacOS/TrelmossService" )
set watched = ( \
  "$realapplications/Vasquill.app/Contents/MacOS/Vasquill" \
  "$realapplications/Trelmoss.app/Contents/MacOS/Trelmoss" )

# Each group is asked to end (TERM) until it has, and what is left of it after
# five seconds is ended by force (KILL).  A program whose file was replaced
# while it runs counts as well.
set failed = 0
foreach group (watchdogs watched)
  if ("$group" == watchdogs) then
    set programs = ( $watchdogs:q )
  else
    set programs = ( $watched:q )
  endif
  set started = `date +%s`
  while (1)
    set pids = ()
    foreach entry (/proc/[0-9]*)
      set executable = "`readlink $entry/exe`"
      if ("$executable" == "") continue
      foreach program ($programs:q)
        if ("$executable" == "$program" || "$executable" == "$program (deleted)") then
          set pids = ( $pids $entry:t )
        endif
      end
    end
    if ($#pids == 0) break
    set now = `date +%s`
    @ elapsed = $now - $started
    if ($elapsed >= 8) then
      echo "unistall.sh: processes $pids did not end" > /dev/stderr
      set failed = 1
      break
    endif
    set signal = TERM
    if ($elapsed >= 5) set signal = KILL
    foreach pid ($pids)
      kill -$signal $pid >& /dev/null
    end
    sleep 0.2
  end
end

foreach item ($items:q)
  if (-e "$item" || -l "$item") then
    rm -rf -- "$item"
    if ($status != 0) set failed = 1
  endif
end
exit $failed
