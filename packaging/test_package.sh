#!/usr/bin/env bash
# packaging/test_package.sh WORK: builds the Debian package with
# scripts/package and installs it with dpkg into throw-away roots below WORK
# (dpkg --root, the maintainer scripts run without chroot with DPKG_ROOT set).
# Checks the package's files and modes, what its configuration adds (TLS
# material, system login items), that the signature files verify with the
# packaged vasquill-sign, and that "dpkg --remove" and the uninstaller's
# script leave the same files behind: the users' key stores and logs.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$(realpath -m -- "${1:?usage: test_package.sh WORK}")
rm -rf "$work"
mkdir -p "$work"

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@" >/dev/null 2>&1; then echo "ok: $what"; else fail "$what"; fi
}

started=$(date +%s)
deb=$("$repo/scripts/package" "$work/dist" | tail -n 1)
echo "package built in $(($(date +%s) - started)) s: $deb"

support="Library/Application Support/Vasquill"
driver=Users/halvorn/Documents/testlib/Build/Products/Debug/libtestlib.dylib
# Every regular file of the package with its mode.
expected_files=$(sort <<EOF
0755 Applications/Vasquill.app/Contents/MacOS/Vasquill
0755 Applications/VasquillService.app/Contents/MacOS/VasquillService
0755 Applications/TrelmossService.app/Contents/MacOS/TrelmossService
0755 Applications/Trelmoss.app/Contents/MacOS/Trelmoss
0755 Applications/TarvenUninstallServer.app/Contents/MacOS/TarvenUninstallServer
0644 Applications/TarvenUninstallServer.app/Contents/Resources/unistall.sh
0755 $support/component/tarven_ukey.dylib
0644 $support/component/tarven_ukey.dylib.sig
0755 usr/local/lib/tarven_ukey.dylib
0644 usr/local/lib/tarven_ukey.dylib.sig
0755 $driver
0644 $driver.sig
0755 usr/local/bin/vasquill-cli
0755 usr/local/bin/vasquill-provision
0755 usr/local/bin/vasquill-sign
EOF
)
# What the configuration adds.
configured_files=$(sort <<EOF
0600 $support/server.key
0644 $support/server.crt
0644 etc/xdg/autostart/Vasquill.desktop
0644 etc/xdg/autostart/VasquillService.desktop
0644 etc/xdg/autostart/TrelmossService.desktop
EOF
)

# The package's own listing: regular files, modes and owner.
listed=$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/' | while read -r perms owner size date time path; do
  printf '%s %s %s\n' "$perms" "$owner" "${path#./}"
done | sort)
expected_listing=$(while read -r mode path; do
  case $mode in 0755) perms=-rwxr-xr-x ;; 0644) perms=-rw-r--r-- ;; esac
  printf '%s root/root %s\n' "$perms" "$path"
done <<<"$expected_files" | sort)
if [ "$listed" = "$expected_listing" ]; then echo "ok: the package holds exactly the deliverables"; else
  fail "the package's files differ:"$'\n'"$(diff <(echo "$expected_listing") <(echo "$listed"))"
fi
check "no directory but root-owned 0755 ones" \
  test -z "$(dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root")')"
for script in postinst prerm postrm; do
  check "maintainer script $script" sh -c "dpkg-deb -I '$deb' | grep -q ' \\* *$script '"
done

# new_root DIR: an empty root with a dpkg database.
new_root() {
  mkdir -p "$1/var/lib/dpkg/info" "$1/var/lib/dpkg/updates" "$1/var/lib/dpkg/triggers" "$1/var/log"
  : >"$1/var/lib/dpkg/status"
}
dpkg_in() {  # dpkg_in ROOT ARGS...: dpkg on a throw-away root
  local root=$1
  shift
  dpkg --root="$root" --log=/dev/null --force-script-chrootless --force-depends --force-not-root "$@"
}
# Regular files of a root with their modes, the dpkg database left out.
files_of() {
  (cd "$1" && find . -path ./var -prune -o \( -type f -o -type l \) -printf '%m %P\n' | sed 's/^\([0-9]\{3\}\) /0\1 /' | sort)
}

installed="$work/installed"
new_root "$installed"
check "dpkg --install into a throw-away root" dpkg_in "$installed" --install "$deb"
check "dpkg counts it installed" test "$(dpkg-query --root="$installed" -W -f='${Status}' vasquill)" = "install ok installed"
present=$(files_of "$installed")
want=$(sort <<<"$expected_files"$'\n'"$configured_files")
if [ "$present" = "$want" ]; then echo "ok: installed files and modes, configuration included"; else
  fail "the installed files differ:"$'\n'"$(diff <(echo "$want") <(echo "$present"))"
fi

# The TLS material: a certificate for 127.0.0.1 and a key that the build's
# passphrase opens (the packaged tool finds the pair usable and keeps it).
certificate="$installed/$support/server.crt"
check "the certificate names 127.0.0.1" sh -c "openssl x509 -in '$certificate' -noout -ext subjectAltName | grep -q 'IP Address:127.0.0.1'"
check "the certificate is valid for 30 days more" openssl x509 -in "$certificate" -noout -checkend 2592000
before=$(sha256sum "$certificate")
check "the installed key opens and matches" sh -c \
  "'$installed/usr/local/bin/vasquill-provision' tls --root '$installed' | grep -q 'TLS material in place: $installed/$support/server.crt'"
check "the certificate was kept" test "$(sha256sum "$certificate")" = "$before"

for name in Vasquill VasquillService TrelmossService; do
  entry=$(printf '%s\n' '[Desktop Entry]' 'Type=Application' "Name=$name" \
    "Exec=\"/Applications/$name.app/Contents/MacOS/$name\"" 'Terminal=false' 'NoDisplay=true' \
    'X-GNOME-Autostart-enabled=true')
  check "system login item $name" test "$(cat "$installed/etc/xdg/autostart/$name.desktop")" = "$entry"
done

# Signatures, checked by the packaged tool with the keys built into it.
sign="$installed/usr/local/bin/vasquill-sign"
check "type-0 signature of the component" "$sign" verify --type 0 "$installed/$support/component/tarven_ukey.dylib"
check "type-1 signature of the adapter at its install name" "$sign" verify --type 1 "$installed/usr/local/lib/tarven_ukey.dylib"
check "type-1 signature of the software UKey driver" "$sign" verify --type 1 "$installed/$driver"
check "the component's signature is not of type 1" bash -c "! '$sign' verify --type 1 '$installed/$support/component/tarven_ukey.dylib'"
cp "$installed/$driver" "$work/tampered.dylib"
cp "$installed/$driver.sig" "$work/tampered.dylib.sig"
printf 'x' >>"$work/tampered.dylib"
check "a changed driver fails its signature" bash -c "! '$sign' verify --type 1 '$work/tampered.dylib'"

# User data and the user's own login items, as the programs leave them.
home=$(getent passwd "$(id -u)" | cut -d: -f6)
mkdir -p "$installed$home/.local/share/vasquill-softkey" "$installed$home/Library/Caches/Halvorn/TARVEN" \
  "$installed$home/.config/autostart"
echo store >"$installed$home/.local/share/vasquill-softkey/SK0001.key"
echo log >"$installed$home/Library/Caches/Halvorn/TARVEN/log.sh"
echo log >"$installed$home/Library/Caches/Halvorn/TARVEN/ukey_log.sh"
cp "$installed/etc/xdg/autostart/Vasquill.desktop" "$installed$home/.config/autostart/Vasquill.desktop"
user_data=$(sort <<EOF
0644 ${home#/}/.local/share/vasquill-softkey/SK0001.key
0644 ${home#/}/Library/Caches/Halvorn/TARVEN/log.sh
0644 ${home#/}/Library/Caches/Halvorn/TARVEN/ukey_log.sh
EOF
)

# The same installation removed twice: by dpkg, and by the uninstaller's
# script.
uninstalled="$work/uninstalled"
cp -a "$installed" "$uninstalled"
removed="$installed"
check "dpkg --remove" dpkg_in "$removed" --remove vasquill
check "dpkg --purge" dpkg_in "$removed" --purge vasquill
check "dpkg no longer knows the package" test -z "$(dpkg-query --root="$removed" -W -f='${Status}' vasquill 2>/dev/null)"
check "the uninstaller's script" tcsh -f "$uninstalled/Applications/TarvenUninstallServer.app/Contents/Resources/unistall.sh" "$uninstalled"
left_by_dpkg=$(files_of "$removed")
left_by_script=$(files_of "$uninstalled")
if [ "$left_by_dpkg" = "$user_data" ]; then echo "ok: dpkg leaves the user data and nothing else"; else
  fail "dpkg left other files than the user data:"$'\n'"$(diff <(echo "$user_data") <(echo "$left_by_dpkg"))"
fi
if [ "$left_by_script" = "$left_by_dpkg" ]; then echo "ok: the uninstaller's script leaves the same files"; else
  fail "the uninstaller's script and dpkg disagree:"$'\n'"$(diff <(echo "$left_by_dpkg") <(echo "$left_by_script"))"
fi

echo "package test: $failures failed, $(($(date +%s) - started)) s"
[ "$failures" -eq 0 ]
