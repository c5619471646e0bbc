#!/usr/bin/env bash
# Installs whatever is missing (Debian packages, a virtual environment with pinned Python
# packages) and builds and installs the module into the virtual environment. Safe to re-run.
# `setup.sh --tests` also installs what the tests need besides: Debian's chromium, in which the
# report pages are opened (Playwright drives it; it downloads no browser of its own).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

APT_PACKAGES=(g++ libboost-dev libgtest-dev scram)
if [ "${1:-}" = "--tests" ]; then
    APT_PACKAGES+=(chromium)
fi

install_missing_apt_packages() {
    local missing=()
    local pkg
    for pkg in "${APT_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing Debian packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

create_venv() {
    if [ -x "$VPY" ] && is_python312 "$VPY"; then
        return 0
    fi
    local python
    python="$(find_python312)"
    echo "Creating virtual environment with $python"
    rm -rf "$VENV"
    "$python" -m venv "$VENV"
}

install_python_packages() {
    "$VPY" -m pip install -q --disable-pip-version-check -r "$ROOT/requirements-dev.txt"
}

install_module() {
    # No build isolation: the pinned build requirements are already in the environment.
    "$VPY" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
        -Cbuild-dir="$ROOT/build/wheel" "$ROOT"
}

install_missing_apt_packages
create_venv
install_python_packages
install_module
echo "tarvo is installed in $VENV"
