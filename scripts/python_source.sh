#!/usr/bin/env bash
# Prints the path of a CPython 3.8.2 source archive checked by SHA-256, for the host and the
# device interpreters' builds. Taken from, in order:
#   LUMATRA_PYTHON_SOURCE=ARCHIVE      an explicit archive (used or refused, never passed over)
#   the user's cache                   $XDG_CACHE_HOME/lumatra/ (default ~/.cache/lumatra/)
#   ../shared/device-python/           the source folder beside the clone, where there is one
#   LUMATRA_PYTHON_URL                 downloaded into the cache (default: python.org's release)
# With none of them: one line on stderr saying what to set, and exit status 1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/lumatra
url=${LUMATRA_PYTHON_URL:-https://www.python.org/ftp/python/3.8.2/Python-3.8.2.tar.xz}

# The two known archives: python.org's release (the sum in pyenv's python-build definition of
# 3.8.2), and the shared folder's import of the same release without its documentation, tests
# and other platforms' folders. Both build the same interpreter.
known_sum() {
  case $(sha256sum "$1" | cut -d' ' -f1) in
    2646e7dc233362f59714c6193017bb2d6f7b38d6ab4a0cb5fbac5c36c4d845df) ;;
    d525dbc89ac71819e579fad4d91b688aa762694df795afd08543104ece352ab3) ;;
    *) return 1 ;;
  esac
}
refuse() {
  echo "python_source.sh: $1; set LUMATRA_PYTHON_SOURCE to CPython's Python-3.8.2.tar.xz" \
       "(from $url, SHA-256 2646e7dc...45df)" >&2
  exit 1
}

if [ -n "${LUMATRA_PYTHON_SOURCE:-}" ]; then
  [ -f "$LUMATRA_PYTHON_SOURCE" ] || refuse "LUMATRA_PYTHON_SOURCE names no file ($LUMATRA_PYTHON_SOURCE)"
  known_sum "$LUMATRA_PYTHON_SOURCE" ||
    refuse "$LUMATRA_PYTHON_SOURCE is no known CPython 3.8.2 archive (its SHA-256 is $(sha256sum "$LUMATRA_PYTHON_SOURCE" | cut -c1-16)...)"
  realpath "$LUMATRA_PYTHON_SOURCE"; exit 0
fi
for f in "$cache/Python-3.8.2.tar.xz" "$root/../shared/device-python/cpython-3.8.2-src.tar.xz"; do
  # A cached file that fails its check was left by something else: it is not trusted.
  if [ -f "$f" ] && known_sum "$f"; then realpath "$f"; exit 0; fi
done

mkdir -p "$cache"
part=$(mktemp "$cache/Python-3.8.2.tar.xz.part.XXXXXX")
trap 'rm -f "$part" "$part.log"' EXIT
if command -v curl >/dev/null; then
  fetch=(curl -fsSL --connect-timeout 20 --retry 2 -o "$part" "$url")
else
  fetch=(wget -q --timeout=20 --tries=3 -O "$part" "$url")
fi
. "$root/scripts/progress.sh"
# The tool's own message is folded into the one line that says what to do.
if ! PROGRESS_TAIL=0 progress "python_source.sh: downloading $url" "$part.log" "$part" "${fetch[@]}"; then
  why=$(paste -sd ' ' "$part.log")
  refuse "no archive in the cache or beside the clone, and the download failed (${why:-${fetch[0]} failed})"
fi
known_sum "$part" || refuse "the download from $url is no known CPython 3.8.2 archive"
mv "$part" "$cache/Python-3.8.2.tar.xz"
echo "$cache/Python-3.8.2.tar.xz"
