#!/usr/bin/env bash
# Installs the built package as a user would, checks what it put in place,
# runs lintian on it and removes it again. Needs root (CI runs as root).
# Usage: packaging/check-deb.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}
fail() { echo "check-deb: $*" >&2; exit 1; }
shopt -s nullglob
debs=("$build"/norvo_*_*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one norvo_<version>_<arch>.deb in $build, found ${#debs[@]}"
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg-deb -f "$deb" Architecture)
[ "$(basename "$deb")" = "norvo_${version}_${arch}.deb" ] || fail "package file name $(basename "$deb")"

echo "--- lintian"
# Any tag at all fails: errors, warnings, and the informational and pedantic ones.
lintian --pedantic --display-info --fail-on error,warning,info,pedantic "$deb"

echo "--- install"
apt-get install -y "./$deb"
[ "$(dpkg-query -W -f='${Status}' norvo)" = "install ok installed" ] || fail "norvo is not installed"
for program in norvo norvoctl; do
  [ -x "/usr/bin/$program" ] || fail "/usr/bin/$program missing"
  if ldd "/usr/bin/$program" | grep "not found"; then fail "$program misses a library"; fi
done

echo "--- norvoctl from /usr/bin"
# (grep reads captured text: with pipefail, grep -q on a pipe can fail the writer)
help=$(/usr/bin/norvoctl --help)
if grep -q -- '--version' <<<"$help"; then
  out=$(/usr/bin/norvoctl --version)
  echo "$out"
  [[ $out == *"$version"* ]] || fail "norvoctl --version says \"$out\", the package is $version"
else
  echo "(this norvoctl has no --version)"
fi
# A data folder of its own: the machine's real one stays untouched.
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
live=$(cd / && /usr/bin/norvoctl --simulate --data-dir "$data" live)
echo "$live"
for ch in 1 2 3 4 5 6 7 8; do
  grep -q "^CH$ch " <<<"$live" || fail "norvoctl --simulate live shows no CH$ch"
done

echo "--- files in place"
rule=/usr/lib/udev/rules.d/60-tarvik.rules
[ -f "$rule" ] || fail "$rule missing"
grep -q 'SUBSYSTEM=="hidraw", ATTRS{idVendor}=="0483", ATTRS{idProduct}=="5750", TAG+="uaccess"' "$rule" ||
  fail "$rule does not give the unit to the person at the desktop (TAG+=\"uaccess\")"
service=/usr/lib/systemd/system/norvo-logger.service
[ -f "$service" ] || fail "$service missing"
grep -q '^ExecStart=/usr/bin/norvoctl serve --config /etc/norvo/serve.conf$' "$service" ||
  fail "$service does not start /usr/bin/norvoctl serve with /etc/norvo/serve.conf"
for line in Type=notify WatchdogSec= MemoryMax= LimitNOFILE= TasksMax=; do
  grep -q "^$line" "$service" || fail "$service has no $line"
done
grep -q '^ReadWritePaths=/run/norvo$' "$service" || fail "$service cannot write /run/norvo, its sockets' folder"
tmpfiles=/usr/lib/tmpfiles.d/norvo.conf
grep -q '^d /run/norvo 2755 norvo plugdev -$' "$tmpfiles" ||
  fail "$tmpfiles does not make /run/norvo for norvo, setgid plugdev"
if [ -x /usr/bin/systemd-tmpfiles ]; then
  [ "$(stat -c '%U %G %a' /run/norvo)" = "norvo plugdev 2755" ] || fail "/run/norvo was not made on install"
fi
[ ! -e /etc/systemd/system/multi-user.target.wants/norvo-logger.service ] ||
  fail "the install enabled norvo-logger.service; only the administrator does that"
conf=/etc/norvo/serve.conf
[ -f "$conf" ] || fail "$conf missing"
grep -qx "$conf" /var/lib/dpkg/info/norvo.conffiles || fail "$conf is not a conffile"
# Every option the file names, set or commented out, is one serve takes.
serve_help=$(/usr/bin/norvoctl serve --help)
for key in $(sed -n 's/^#\{0,1\}\([a-z][a-z-]*\) = .*/\1/p' "$conf" | sort -u); do
  [ "$key" = data-dir ] && continue  # norvoctl's own option, before the command
  grep -q -- "--$key " <<<"$serve_help" || fail "$conf names $key, which serve does not take"
done
for script in prerm postrm; do
  [ -x "/var/lib/dpkg/info/norvo.$script" ] || fail "no $script"
done
metainfo=/usr/share/metainfo/org.example.norvo.metainfo.xml
grep -q '<modalias>usb:v0483p5750d\*</modalias>' "$metainfo" || fail "$metainfo does not provide the unit's modalias"
getent passwd norvo >/dev/null || fail "postinst did not make the system user norvo"
desktop=/usr/share/applications/norvo.desktop
[ -f "$desktop" ] || fail "$desktop missing"
desktop-file-validate "$desktop"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "/usr/bin/$exec_name" ] || fail "Exec=$exec_name is not in /usr/bin"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -n "$icon" ] || fail "the desktop entry has no Icon="
[ -f "/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "scalable icon $icon.svg missing"
for size in 16 22 24 32 48 64 128 256; do
  png=/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
  [ -f "$png" ] || fail "$png missing"
  kind=$(file -b "$png")
  [[ $kind == "PNG image data, $size x $size,"* ]] || fail "$png is not $size x $size: $kind"
done
page=$(zcat /usr/share/man/man1/norvo.1.gz)
grep -q '^\.TH NORVO 1' <<<"$page" || fail "norvo.1 missing"
page=$(zcat /usr/share/man/man1/norvoctl.1.gz)
grep -q '^\.TH NORVOCTL' <<<"$page" || fail "norvoctl.1 missing"
# help2man is installed here, so the page must be the generated one, not the stand-in.
grep -q 'generated by help2man' <<<"$page" || fail "norvoctl.1 is the stand-in page"
# (roff writes an option's dashes as "\-")
for option in $(/usr/bin/norvoctl serve --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  grep -q -- "$option" <<<"${page//\\-/-}" || fail "norvoctl.1 does not name serve $option"
done
[ -f /usr/share/doc/norvo/copyright ] || fail "copyright missing"
completion=/usr/share/bash-completion/completions/norvoctl
[ -f "$completion" ] || fail "$completion missing"
if [ -f /usr/share/bash-completion/bash_completion ]; then
  words=$(bash -c 'source /usr/share/bash-completion/bash_completion; source '"$completion"'
    COMP_WORDS=(norvoctl --simulate sd ""); COMP_CWORD=3; COMP_LINE="norvoctl --simulate sd "; COMP_POINT=${#COMP_LINE}
    _norvoctl; echo "${COMPREPLY[*]}"')
  [ "$words" = "list get rm" ] || fail "completion after \"norvoctl --simulate sd\" gives \"$words\""
  echo "completion after \"norvoctl --simulate sd\": $words"
  words=$(bash -c 'source /usr/share/bash-completion/bash_completion; source '"$completion"'
    COMP_WORDS=(norvoctl serve --period 5 --mqtt-); COMP_CWORD=4; COMP_LINE="norvoctl serve --period 5 --mqtt-"; COMP_POINT=${#COMP_LINE}
    _norvoctl; echo "${COMPREPLY[*]}"')
  for option in --mqtt-prefix --mqtt-discovery-prefix --mqtt-client-id --mqtt-user --mqtt-password-file --mqtt-cafile; do
    [[ " $words " == *" $option "* ]] || fail "completion after \"norvoctl serve --mqtt-\" lacks $option: \"$words\""
  done
else
  echo "(bash-completion not installed: completion not tried)"
fi

echo "--- remove"
apt-get remove -y norvo
if dpkg-query -W -f='${Status}' norvo 2>/dev/null | grep -q "ok installed"; then fail "norvo still installed"; fi
for f in /usr/bin/norvo /usr/bin/norvoctl "$rule" "$service" "$tmpfiles" "$desktop" "$metainfo" "/usr/share/icons/hicolor/48x48/apps/$icon.png"; do
  [ ! -e "$f" ] || fail "$f left behind after removal"
done
echo "check-deb: $(basename "$deb") installs, works, passes lintian and removes cleanly"
