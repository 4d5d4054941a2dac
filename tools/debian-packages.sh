#!/bin/sh
# Installs the Debian packages that the named groups of
# tools/debian-packages.txt need and the machine lacks, nothing else.
#   tools/debian-packages.sh [--list] GROUP...
# --list prints the missing packages and installs nothing. As root it runs
# apt-get itself, elsewhere through `sudo -n` where that needs no password;
# otherwise it stops with the one apt-get command that would do it. Status 0
# when nothing is missing afterwards, 1 otherwise.
set -eu
here=$(dirname "$0")
list=no
if [ "${1:-}" = --list ]; then list=yes; shift; fi
[ $# -gt 0 ] || { echo "usage: $0 [--list] GROUP..." >&2; exit 2; }

missing=
for group in "$@"; do
  packages=$(awk -v g="$group" '$1 == g { $1 = ""; print }' "$here/debian-packages.txt")
  [ -n "$packages" ] || { echo "$0: no group '$group' in debian-packages.txt" >&2; exit 2; }
  for package in $packages; do
    case " $missing " in *" $package "*) continue ;; esac
    # Installed whatever is wanted of it (a hold, say); removed but not
    # purged ("config-files"), half installed or unknown is missing.
    status=$(dpkg-query -W -f '${Status}' "$package" 2>/dev/null || true)
    case "$status" in
      *" installed") ;;
      *) missing="$missing $package" ;;
    esac
  done
done
missing=${missing# }
[ -n "$missing" ] || exit 0
if [ $list = yes ]; then echo "$missing"; exit 0; fi

if [ "$(id -u)" = 0 ]; then
  run=
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  run="sudo -n"
else
  echo "missing Debian packages; install them as root: apt-get install $missing" >&2
  exit 1
fi
echo "installing Debian packages: $missing"
$run apt-get update -qq
# shellcheck disable=SC2086
$run env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
