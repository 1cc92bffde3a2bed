# Sourced, before any cd, by the scripts that need root (network namespaces,
# installing packages). A fresh Debian machine used as root has no sudo.
#
#   need_root "$@"   returns when running as root; otherwise runs the script
#                    again with sudo where sudo exists, or says that it needs
#                    root and exits 1.
need_root_script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

need_root() {
    [ "$(id -u)" = 0 ] && return 0
    if command -v sudo >/dev/null 2>&1; then
        echo "$(basename "$0"): needs root; running it again with sudo" >&2
        # The settings the scripts read from the environment go along.
        exec sudo --preserve-env=ADDRSMITH_BUILD_DIR,ADDRSMITH_EXE,FUZZ_SEED \
            "$need_root_script" "$@"
    fi
    echo "$(basename "$0"): needs root: run it as root (there is no sudo to ask)" >&2
    exit 1
}
