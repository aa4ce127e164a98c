#!/usr/bin/env bash
# Idempotent set-up: Debian build dependencies (clang with its libFuzzer and OpenMP runtimes
# for `make fuzz`, chromium for the application's browser tests) and the project's Python 3.12 virtual
# environment. Installs only what is missing; on a ready machine it does nothing and needs
# no network.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv"
requirements="$root/requirements.txt"   # development tools
constraints="$root/constraints.txt"     # exact versions of everything in .venv

debian_packages=(build-essential cmake ninja-build pkg-config
                 libopencv-dev libeigen3-dev libgtest-dev libgmock-dev libbenchmark-dev
                 clang libclang-rt-dev libomp-dev
                 chromium)

missing=()
for package in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "setup: installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

find_python312() {
  local candidate
  for candidate in python3.12 python3; do
    if command -v "$candidate" >/dev/null 2>&1 &&
       "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
      command -v "$candidate"; return 0
    fi
  done
  if command -v pyenv >/dev/null 2>&1; then
    for candidate in "$(pyenv root)"/versions/3.12.*/bin/python3.12; do
      [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
  fi
  return 1
}

if [ ! -x "$venv/bin/python" ]; then
  if ! python=$(find_python312); then
    echo "setup: CPython 3.12 not found: neither python3.12 on PATH nor pyenv's" \
         "\$(pyenv root)/versions/3.12.*; install CPython 3.12 (with its venv module)" >&2
    exit 1
  fi
  echo "setup: creating $venv with $python"
  "$python" -m venv "$venv"
fi

# The package's own dependencies come from pyproject.toml (the one list of what it needs and
# which versions it supports); constraints.txt pins them and the tools to exact versions.
dependencies=$("$venv/bin/python" - "$root/pyproject.toml" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as handle:
    print("\n".join(tomllib.load(handle)["project"]["dependencies"]))
PY
)
# The stamp records which requirements the environment was built from.
stamp="$venv/.requirements.sha256"
wanted=$({ cat "$requirements" "$constraints"; echo "$dependencies"; } | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
  echo "setup: installing Python requirements into $venv"
  dependency_list=$(mktemp)
  trap 'rm -f "$dependency_list"' EXIT
  echo "$dependencies" > "$dependency_list"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -c "$constraints" \
    -r "$requirements" -r "$dependency_list"
  echo "$wanted" > "$stamp"
fi
