#!/usr/bin/env bash
# The installed library as a host project meets it: cmake --install into a temporary prefix, a
# consumer project configured with find_package(CVPersonPackAPI) against it, built, and its
# program's CVPackage_View answering as the installed corvane's own does on the same stores;
# then cpack -G DEB, whose package must list the plug-in, the headers and the program.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source="$2"
work="$(mktemp -d /tmp/cv-install-test.XXXXXX)"
trap 'rm -rf "$work"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }
export QT_QPA_PLATFORM=offscreen

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install failed"; }
for file in bin/corvane include/CVPersonPackAPI/CVPersonPackAPI.h share/applications/corvane.desktop; do
  [ -e "$prefix/$file" ] || fail "$file is not installed"
done

cmake -S "$source/tests/install/consumer" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "find_package failed"; }
cmake --build "$work/consumer" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "the consumer does not build"; }

# The same stores for both: a sample installation, and a database without the host's tables.
"$prefix/bin/corvane" init --db "$work/sample.sqlite" --sample >/dev/null
sqlite3 "$work/bare.sqlite" "CREATE TABLE other(x)"
for store in sample bare; do
  host="$("$prefix/bin/corvane" view --db "$work/$store.sqlite" | grep '^CVPackage_View' || true)"
  consumer="$("$work/consumer/consumer" "$work/$store.sqlite" | grep '^CVPackage_View' || true)"
  echo "$store: corvane '$host', consumer '$consumer'"
  [ -n "$host" ] && [ "$host" = "$consumer" ] || fail "the consumer answers otherwise on $store"
done
[ "$("$work/consumer/consumer" "$work/sample.sqlite")" = "CVPackage_View: 1" ] || fail "no preview"
# A database file that does not exist is refused, not made.
! "$prefix/bin/corvane" view --db "$work/missing.sqlite" >/dev/null 2>&1 || fail "a missing database was opened"
[ ! -e "$work/missing.sqlite" ] || fail "a missing database was made"

plugin="$(PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name cvpersonpackapi.pc)")" \
  pkg-config --variable=plugin cvpersonpackapi)"
[ -f "$plugin" ] || fail "pkg-config names no plug-in: $plugin"

(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
deb="$(ls "$work"/deb/*.deb)"
dpkg-deb --contents "$deb" >"$work/contents"
for entry in '/usr/lib/.*cvpersonpack/libCVPersonPackAPI\.so$' \
             '/usr/lib/.*cvpersonpack/System/API/libCVReaderPack\.so$' \
             '/usr/include/CVPersonPackAPI/CVPersonPackAPI\.h$' \
             '/usr/include/CVPersonPackAPI/CVHostServices\.h$' \
             '/usr/lib/.*cmake/CVPersonPackAPI/CVPersonPackAPIConfig\.cmake$' \
             '/usr/bin/corvane -> ' '/usr/share/applications/corvane\.desktop$'; do
  grep -Eq "$entry" "$work/contents" || { cat "$work/contents"; fail "the package lacks $entry"; }
done
echo "$(basename "$deb"): $(wc -l <"$work/contents") entries"
echo "install test passed"
