#!/usr/bin/env bash
# The `vantor` command link of `make install` / `make uninstall`.
#
#   link_command.sh install   TARGET LINK   links LINK to TARGET
#   link_command.sh uninstall TARGET LINK   removes LINK if it leads to TARGET
#
# On a shared machine several checkouts may each install the command: a link
# that leads elsewhere belongs to another one, so install replaces it only
# with FORCE=1 and uninstall never removes it.
set -euo pipefail

action="${1:?install or uninstall}" target="${2:?target}" link="${3:?link}"

# Where LINK leads now ("" when there is nothing there).
current=""
if [ -L "$link" ]; then
    current="$(readlink "$link")"
elif [ -e "$link" ]; then
    current="a file of its own"
fi
# Ours: it names TARGET, or leads to the same existing file.
ours() {
    local resolved
    [ "$current" = "$target" ] && return 0
    [ -L "$link" ] && resolved="$(readlink -e "$link")" && [ "$resolved" = "$(readlink -e "$target")" ]
}

case "$action" in
install)
    # A link to nothing left (its checkout was removed) belongs to no one.
    if [ -L "$link" ] && [ ! -e "$link" ] && ! ours; then
        echo "make install: $link led to $current, which no longer exists; replaced it"
        current=""
    fi
    if [ -n "$current" ] && ! ours && [ "${FORCE:-0}" != 1 ]; then
        echo "make install: $link already leads to $current, not to $target; left it;" \
             "to replace it: make install FORCE=1" >&2
        exit 1
    fi
    ln -sfn "$target" "$link"
    ;;
uninstall)
    if [ -z "$current" ]; then
        echo "make uninstall: no $link"
    elif ours; then
        rm -f "$link"
        echo "removed $link"
    else
        echo "make uninstall: left $link alone: it leads to $current, not to this checkout's $target"
    fi
    ;;
*)
    echo "link_command.sh: unknown action $action" >&2
    exit 2
    ;;
esac
