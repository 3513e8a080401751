# Sourced by the CI scripts that work per interpreter.

# The interpreter of a Python version ($1, e.g. 3.12): the newest pyenv build of it, else
# python3.X on PATH; only one that runs and is that version (a pyenv shim may stand on PATH for
# a version that is not selected). Prints nothing and fails if the machine has none.
find_python() {
  local candidate
  for candidate in $(ls -d "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")/versions/$1".*/bin/python3 \
                     2>/dev/null | sort -rV) $(command -v "python$1" 2>/dev/null); do
    if [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$1" ]; then
      echo "$candidate"
      return
    fi
  done
  return 1
}

# Where the wheel built for a Python version lives during one CI run: .ci/interpreters builds
# the later versions' wheels there and .ci/portability audits the same files instead of
# building them again. Outside .ci/run (RG_CI_WHEELS unset) each script uses its own folder.
wheel_dir() {
  echo "${RG_CI_WHEELS:-$2}/cp${1/./}"
}
