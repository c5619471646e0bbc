# Shared by the project's scripts: locations and the Python 3.12 interpreter. Source it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
VPY="$VENV/bin/python"
# The pinned cmake, ctest and ninja of the virtual environment come first.
export PATH="$VENV/bin:$PATH"

is_python312() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) else 1)' >/dev/null 2>&1
}

# Prints the path of a Python 3.12 interpreter: python3.12 on PATH, else pyenv's newest 3.12.x.
find_python312() {
    if command -v python3.12 >/dev/null 2>&1 && is_python312 python3.12; then
        command -v python3.12
        return 0
    fi
    local pyenv_root="${PYENV_ROOT:-}"
    if [ -z "$pyenv_root" ] && command -v pyenv >/dev/null 2>&1; then
        pyenv_root="$(pyenv root)"
    fi
    pyenv_root="${pyenv_root:-$HOME/.pyenv}"
    local candidate
    for candidate in $(ls -d "$pyenv_root"/versions/3.12.* 2>/dev/null | sort -V -r); do
        if is_python312 "$candidate/bin/python3.12"; then
            echo "$candidate/bin/python3.12"
            return 0
        fi
    done
    echo "error: no Python 3.12 interpreter found (tried python3.12 on PATH and pyenv's 3.12.x)." >&2
    echo "Install one, e.g. 'pyenv install 3.12', and run this again." >&2
    return 1
}

# The option that keeps CMake quiet about -D variables a build does not use: -Wno-unused-cli
# since CMake 4.4 (which deprecates the older spelling with a warning), --no-warn-unused-cli
# before.
quiet_unused_cli() {
    local version major minor
    version="$(cmake --version | sed -n 's/^cmake version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p')"
    read -r major minor <<<"$version"
    if (( major > 4 || (major == 4 && minor >= 4) )); then
        echo "-Wno-unused-cli"
    else
        echo "--no-warn-unused-cli"
    fi
}

# Configures and builds the native code in build/NAME with extra CMake arguments.
cmake_build() {
    local name="$1"; shift
    cmake -S "$ROOT" -B "$ROOT/build/$name" -G Ninja "$(quiet_unused_cli)" \
        -DPython_EXECUTABLE="$VPY" \
        -Dpybind11_DIR="$("$VPY" -m pybind11 --cmakedir)" "$@" >/dev/null
    cmake --build "$ROOT/build/$name" -j "$(nproc)"
}
