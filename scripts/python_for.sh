# Sourced by the scripts that need a given CPython: python_for VERSION prints the path of an
# interpreter of that version (pythonX.Y on PATH, else pyenv's), or fails with one line.

python_for() {
  local version=$1 candidate root=""
  command -v pyenv >/dev/null 2>&1 && root=$(pyenv root)
  for candidate in "python$version" ${root:+"$root"/versions/"$version".*/bin/python"$version"}; do
    if command -v "$candidate" >/dev/null 2>&1 &&
       "$candidate" -c "import sys; sys.exit(f'{sys.version_info[0]}.{sys.version_info[1]}' != '$version')" \
         2>/dev/null; then
      command -v "$candidate"; return 0
    fi
  done
  echo "CPython $version not found: neither python$version on PATH nor pyenv's" \
       "\$(pyenv root)/versions/$version.*" >&2
  return 1
}
