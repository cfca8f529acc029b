# shellcheck shell=bash
# Helpers shared by test.sh and sanitize.sh; sourced, never run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="${JOBS:-2}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PIP_PROGRESS_BAR=off
export CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"

# pip, with the machine's notices about absent local package folders left out.
pip_install() {
    local py="$1"
    shift
    "$py" -m pip install "$@" 2> >(grep -v "^WARNING: Location 'file://" >&2)
}

# Installs whichever of the named Debian packages are missing (root, or sudo without a prompt).
apt_install_missing() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    if [[ ${#missing[@]} -eq 0 ]]; then
        echo "all present: $*"
        return 0
    fi
    local sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo -n)
    echo "installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

die() {
    echo "error: $*" >&2
    exit 1
}

# An interpreter of the given minor version (3.11, 3.13, ...). pyenv's shims only answer for
# the global version, so look in pyenv's own folders first.
find_python() {
    local want="$1" candidate
    for candidate in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$want".*/bin/python"$want" 2>/dev/null | sort -V -r) \
        "$(command -v "python$want" || true)"; do
        if [[ -n "$candidate" && -x "$candidate" ]] && "$candidate" -c 'import sys' >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    die "no python$want found (looked in pyenv's versions and on PATH)"
}

# Creates (or reuses) a venv and prints nothing; reuse needs a working interpreter of the
# wanted version, since a venv breaks when the interpreter it was made from goes away.
ensure_venv() {
    local dir="$1" version="$2"
    if [[ -x "$dir/bin/python" ]] &&
        "$dir/bin/python" -c "import sys; assert sys.version.startswith('$version.')" >/dev/null 2>&1; then
        return 0
    fi
    rm -rf "$dir"
    "$(find_python "$version")" -m venv "$dir"
    pip_install "$dir/bin/python" -q --upgrade pip
}

# Requirements of one optional-dependency group of pyproject.toml, one per line.
extra_requirements() {
    "$(find_python 3.11)" - "$ROOT/pyproject.toml" "$@" <<'EOF'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    extras = tomllib.load(f)["project"]["optional-dependencies"]
for name in sys.argv[2:]:
    print("\n".join(extras[name]))
EOF
}

# The one wheel in a folder (of one platform: only_wheel DIR '*_aarch64'); anything else means a
# stale or broken build.
only_wheel() {
    local found=("$1"/vorlane-*${2:-}.whl)
    [[ ${#found[@]} -eq 1 && -f "${found[0]}" ]] || die "expected exactly one vorlane wheel in $1, found: ${found[*]}"
    echo "${found[0]}"
}
