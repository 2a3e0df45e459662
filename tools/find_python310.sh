# Sourced by setup.sh and test.sh: prints the path of a CPython 3.10
# interpreter (pyenv's 3.10, else python3.10 on PATH); fails when none exists.
find_python310() {
    if command -v pyenv >/dev/null 2>&1; then
        local root
        root=$(pyenv root)
        for p in "$root"/versions/3.10.*/bin/python3.10; do
            [ -x "$p" ] && { echo "$p"; return 0; }
        done
    fi
    if command -v python3.10 >/dev/null 2>&1; then
        command -v python3.10
        return 0
    fi
    return 1
}
