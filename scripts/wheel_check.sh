#!/usr/bin/env bash
# The repaired wheel (scripts/wheel.sh, `make wheel`) as a user installs it, for each CPython
# version given (default 3.12 3.13): a fresh virtual environment of that version, then
# `pip install --only-binary :all:` of dist/'s wheel for it and of every dependency, so nothing is
# compiled and no compiler, CMake or OpenCV header takes part (CC and CXX point at `false` to
# make sure). Then, against that installation:
#   - ldd of every extension module and shared library the wheel installed: each library it
#     needs resolves either to a file the wheel installed (morvex.libs/, libmorvex_core) or to
#     the base system, which is what the manylinux policy of the wheel's tag lets a wheel assume
#     (auditwheel's list for that tag: glibc's libraries, libstdc++, libgcc_s, libatomic, libz,
#     libexpat and a few X11/GL/GLib ones); nothing else from this machine may be used;
#   - tests/python (the specified _morvex_dic module's own tests skip where it is not built,
#     for CPython 3.12 only; any other skip fails the check);
#   - every command the README shows (scripts/readme_commands.sh).
# Prints the wheel's size, the number of bundled libraries and the install time.
#
# Usage: scripts/wheel_check.sh [VERSION...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/python_for.sh
source "$root/scripts/python_for.sh"
# shellcheck source=scripts/readme_commands.sh
source "$root/scripts/readme_commands.sh"
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.12 3.13)
tools="$root/build-wheel/tools"
[ -x "$tools/bin/auditwheel" ] || { echo "wheel-check: run scripts/wheel.sh first" >&2; exit 1; }
mkdir -p "$root/build-wheel"
work=$(mktemp -d "$root/build-wheel/check.XXXXXX")
trap 'rm -rf "$work"' EXIT
began=$(date +%s)
step() { echo "wheel-check: [$(( $(date +%s) - began )) s] $*"; }

# A clean copy of the files git tracks (the tests read the package's source and scripts/ too),
# run from outside it, so python/morvex can never shadow the installed package.
src="$work/src"
mkdir -p "$src"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
   tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$src"

# The libraries each ELF file the wheel installed asks for by name (its DT_NEEDED entries) that
# resolve neither inside the installation nor to the base system of the wheel's manylinux policy;
# "not found" counts as outside. Bundled libraries are among those files, so the whole chain the
# wheel brings is covered; what a base-system library needs in turn is the system's own.
outside_libraries() {  # SITE_PACKAGES WHEEL_FILE
  "$tools/bin/python" - "$@" <<'PY'
import json, pathlib, re, subprocess, sys, zipfile
from importlib import resources

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

site, wheel = pathlib.Path(sys.argv[1]).resolve(), pathlib.Path(sys.argv[2])
policy = re.search(r"(manylinux_\d+_\d+)_", wheel.name).group(1)
policies = json.loads(resources.files("auditwheel").joinpath("policy/manylinux-policy.json")
                      .read_text())
base = set(next(p for p in policies if p["name"] == policy)["lib_whitelist"])
base |= {"ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}  # glibc's dynamic loader itself
installed = [site / name for name in zipfile.ZipFile(wheel).namelist()
             if re.search(r"\.so(\.\d+)*$", name)]
used, bad = set(), []
for path in installed:
    with open(path, "rb") as handle:
        needed = [tag.needed for section in ELFFile(handle).iter_sections()
                  if isinstance(section, DynamicSection)
                  for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"]
    resolved = {}
    for line in subprocess.run(["ldd", str(path)], capture_output=True, text=True,
                               check=True).stdout.splitlines():
        found = re.match(r"\s*(\S+) => (not found|\S+)", line)
        loader = re.match(r"\s*(/\S+/(ld-linux\S+)) \(0x", line)
        if found:
            resolved[found.group(1)] = found.group(2)
        elif loader:
            resolved[loader.group(2)] = loader.group(1)
    for name in needed:
        target = resolved.get(name, "not found")
        if target != "not found" and pathlib.Path(target).resolve().is_relative_to(site):
            continue
        if name in base and target != "not found":
            used.add(name)
            continue
        bad.append(f"{path.relative_to(site)}: {name} => {target}")
print(f"  {len(installed)} ELF files; from the {policy} base system: {' '.join(sorted(used))}",
      file=sys.stderr)
print("\n".join(sorted(set(bad))))
PY
}

failed=0
for version in "${versions[@]}"; do
  tag="cp${version/./}"
  wheels=("$root"/dist/morvex-*-"$tag"-"$tag"-manylinux*.whl)
  [ -f "${wheels[0]}" ] || { echo "wheel-check: no $tag wheel in dist/ (make wheel)" >&2; exit 1; }
  wheel=${wheels[0]}
  step "$(basename "$wheel"): $(du -h "$wheel" | cut -f1)," \
       "$(unzip -Z1 "$wheel" | grep -c '^morvex\.libs/') bundled libraries"
  venv="$work/venv-$tag"
  "$(python_for "$version")" -m venv "$venv"
  pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
  "${pip[@]}" install -q --upgrade pip 2>&1 | grep -v "^WARNING: Location" || true
  installing=$(date +%s)
  CC=false CXX=false "${pip[@]}" install --only-binary :all: "$wheel" 2>&1 |
    grep -v "^WARNING: Location" || true
  "$venv/bin/python" -c 'import morvex' ||
    { echo "wheel-check: morvex does not import from the $tag wheel" >&2; failed=1; continue; }
  step "installed with its dependencies in $(( $(date +%s) - installing )) s (CPython $version)"

  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
  outside=$(outside_libraries "$site" "$wheel")
  if [ -n "$outside" ]; then
    echo "wheel-check: FAIL libraries from outside the wheel and the base system:"
    echo "$outside" | sed 's/^/        /'; failed=1
  else
    echo "  ok    every library resolves inside the wheel or to the base system"
  fi

  "${pip[@]}" install --only-binary :all: -c "$root/constraints.txt" pytest hypothesis meshio 2>&1 |
    grep -v "^WARNING: Location" || true
  step "tests/python against the $tag wheel"
  log="$work/pytest-$tag.log"
  (cd "$work" && "$venv/bin/python" -m pytest "$src/tests/python" -q -rs -p no:cacheprovider) |
    tee "$log" | tail -n 15 || failed=1
  if grep "^SKIPPED" "$log" | grep -v "_morvex_dic is built for CPython 3.12 only"; then
    echo "wheel-check: FAIL a test skipped for a reason other than the 3.12-only module"
    failed=1
  fi
  step "the README's commands from the $tag wheel"
  run_readme_commands "$venv/bin" "$work/readme-$tag" "$src" || failed=1
done

if [ "$failed" -ne 0 ]; then
  echo "wheel-check: FAILED after $(( $(date +%s) - began )) s" >&2
  exit 1
fi
step "passed"
