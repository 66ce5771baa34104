#!/usr/bin/env bash
# Installs pelk-utils the ways its users do, from the build tree given, and
# checks each from a folder outside the checkout: the wheel (pip, no
# network) in a fresh --system-site-packages venv, run and uninstalled
# without a trace; the Debian package, its dependencies against what its
# binaries link, unpacked into a scratch root and run from there.
#
#   tests/packaging/packaging_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
root=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
version=$(sed -n 's/^project(pelk_utils VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
fail() { echo "packaging: $*" >&2; exit 1; }
step() { printf '%-48s %s\n' "$1" "$(date +%s)" ; }

step "wheel: build"
/usr/bin/python3 -m venv --system-site-packages "$scratch/build-env"
PELK_CMAKE_BUILD_DIR="$build" "$scratch/build-env/bin/pip" wheel --no-build-isolation --no-deps --no-index -q \
  -w "$scratch/wheels" "$root" > "$scratch/wheel.log" 2>&1 || { cat "$scratch/wheel.log"; fail "pip wheel failed"; }
wheel=$(ls "$scratch"/wheels/pelk_utils-"$version"-*.whl) || fail "no wheel of version $version"
/usr/bin/python3 - "$wheel" "$version" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    meta = z.read(f"pelk_utils-{sys.argv[2]}.dist-info/METADATA").decode()
    names = z.namelist()
assert f"\nVersion: {sys.argv[2]}\n" in meta, meta[:300]
for want in ("pelk_utils/_bin/pelk", "pelk_utils/_bin/pelk-tools", "pelk_utils/_bin/pelk-full", "pelk_utils/py.typed",
             "pelk_utils/__init__.pyi", "pelk_utils/_version.py"):
    assert want in names, want
assert sum(n.endswith(".so") for n in names) == 2, names
PY

step "wheel: install into a fresh venv"
env_dir="$scratch/env"
/usr/bin/python3 -m venv --system-site-packages "$env_dir"
"$env_dir/bin/pip" install --no-index -q "$wheel"
mkdir "$scratch/elsewhere"
cd "$scratch/elsewhere"
[ "$("$env_dir/bin/pelk" --version)" = "pelk $version" ] || fail "pelk --version in the venv"
[ "$("$env_dir/bin/python" -c 'import pelk_utils; print(pelk_utils.__version__)')" = "$version" ] ||
  fail "pelk_utils.__version__ in the venv"
if /usr/bin/python3 -c 'import pelk_utils' 2>/dev/null; then fail "pelk_utils imports outside the venv"; fi
step "wheel: pelk demo --frames 40"
"$env_dir/bin/pelk" demo --frames 40 --out demo > demo.log 2>&1 || { tail -20 demo.log; fail "pelk demo"; }
grep -q "All self-checks against the scene's truth passed." demo.log || fail "the demo's self-checks"
step "wheel: examples/python/road.py"
"$env_dir/bin/python" "$root/examples/python/road.py" road > road.log 2>&1 || { tail -20 road.log; fail "road.py"; }
step "wheel: uninstall"
"$env_dir/bin/pip" uninstall -y -q pelk-utils
left=$(find "$env_dir" -iname '*pelk*')
[ -z "$left" ] || fail "left after pip uninstall: $left"

step "deb: cpack"
cd "$build"
cpack -G DEB -B "$scratch/deb" > "$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; fail "cpack"; }
deb="$scratch/deb/pelk-utils_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version"
dpkg-deb -x "$deb" "$scratch/root"
cd "$scratch/elsewhere"

step "deb: dependencies against what the binaries link"
elfs=$(find "$scratch/root" -type f \( -perm -u+x -o -name '*.so' \) -exec sh -c 'head -c4 "$1" | grep -q ELF' _ {} \; -print)
[ -n "$elfs" ] || fail "no binaries in the package"
missing=$(ldd $elfs 2>/dev/null | grep 'not found' || true)
[ -z "$missing" ] || fail "unresolved libraries: $missing"
mkdir -p "$scratch/shl/debian"
printf 'Source: pelk-utils\n\nPackage: pelk-utils\nArchitecture: any\n' > "$scratch/shl/debian/control"
linked=$(cd "$scratch/shl" && dpkg-shlibdeps -O -e $elfs 2>/dev/null | sed 's/^shlibs:Depends=//')
names() { tr ',|' '\n\n' | sed 's/(.*//; s/ //g' | grep -v '^$' | sort -u; }
declared=$(dpkg-deb -f "$deb" Depends | names)
expected=$( (echo "$linked" | names; printf 'python3\npython3-numpy\n') | sort -u)
[ "$declared" = "$expected" ] || { diff <(echo "$expected") <(echo "$declared") || true; fail "declared dependencies differ from the linked libraries (+ python3, python3-numpy)"; }

step "deb: run from the unpacked root"
[ "$("$scratch/root/usr/bin/pelk" --version)" = "pelk $version" ] || fail "pelk --version from the package"
"$scratch/root/usr/bin/pelk" evaluate --help > /dev/null || fail "pelk evaluate --help from the package"
[ "$(PYTHONPATH="$scratch/root/usr/lib/python3/dist-packages" /usr/bin/python3 -c \
  'import pelk_utils; pelk_utils.Mask; print(pelk_utils.__version__)')" = "$version" ] || fail "import pelk_utils from the package"

step "deb: lintian"
# Tags that matter for a local package fail the test; the ones left are
# listed in the README.
lintian --no-tag-display-limit "$deb" > "$scratch/lintian.log" 2>&1 || true
if grep -E '^E: ' "$scratch/lintian.log" | grep -v -E "$(paste -sd'|' "$root/tests/packaging/lintian_allowed")"; then
  fail "lintian errors above"
fi
step "done"
