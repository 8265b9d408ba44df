# Sourced by test_debian_unstable.sh: making, entering and leaving a cached
# Debian root. Every mount made here is recorded in MOUNTS and undone by
# undo_mounts, which the caller runs from its EXIT trap.

# The host's Debian mirror (its apt sources), else deb.debian.org.
host_debian_mirror() {
    local uri
    uri="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null \
        | grep -v '^[[:space:]]*#' | grep -oE 'https?://[^ ]*/debian/?( |$)' | head -n 1 | tr -d ' ')" || true
    uri="${uri:-http://deb.debian.org/debian}"
    echo "${uri%/}"
}

# Proxies from the host's apt configuration, for the probe and debootstrap
# (apt inside the root reads them from the copied configuration).
export_host_apt_proxy() {
    command -v apt-config >/dev/null 2>&1 || return 0
    local http="" https=""
    eval "$(apt-config shell http Acquire::http::Proxy https Acquire::https::Proxy 2>/dev/null)"
    if [ -n "$http" ] && [ "$http" != DIRECT ] && [ -z "${http_proxy:-}" ]; then export http_proxy="$http"; fi
    if [ -n "$https" ] && [ "$https" != DIRECT ] && [ -z "${https_proxy:-}" ]; then export https_proxy="$https"; fi
}

install_host_packages() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null 2>&1 \
        || { apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null; }
}

# A finished root made less than $2 days ago.
root_is_fresh() {
    local stamp="$1/.zln-made"
    [ -f "$stamp" ] && [ -n "$(find "$stamp" -mtime -"$2")" ]
}

# Mounts left under $1 by a run that was killed before its trap ran.
release_stale_mounts() {
    local dir mount
    dir="$(realpath -m "$1")"
    for mount in $(awk '{print $5}' /proc/self/mountinfo | grep -E "^$dir(/|$)" | sort -r || true); do
        umount "$mount" 2>/dev/null || umount -l "$mount"
    done
}

# Removal that never crosses into another file system: a mount left inside
# makes it fail instead of deleting what the mount shows.
remove_tree() {
    release_stale_mounts "$1"
    if [ -e "$1" ]; then rm -rf --one-file-system "$1"; fi
}

# mount_into ROOT PATH proc|bind|ro: shows the host's PATH at the same place
# inside ROOT.
mount_into() {
    local root="$1" path="$2" how="$3" target="$1$2"
    if [ -d "$path" ]; then mkdir -p "$target"; else mkdir -p "$(dirname "$target")" && touch "$target"; fi
    case "$how" in
        proc) mount -t proc proc "$target" ;;
        bind) mount --bind "$path" "$target" ;;
        ro) mount --bind "$path" "$target" && MOUNTS+=("$target") && mount -o remount,bind,ro "$target" && return ;;
    esac
    MOUNTS+=("$target")
}

undo_mounts() {
    local i status=0
    stop_root_commands
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTS[i]}" 2>/dev/null || umount -l "${MOUNTS[i]}" || status=1
    done
    MOUNTS=()
    return "$status"
}

# run_in_root ROOT COMMAND: COMMAND in bash inside ROOT with a clean
# environment, keeping pip's settings, proxies and CI.
run_in_root() {
    local root="$1" line
    shift
    local -a vars=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb)
    while IFS= read -r line; do vars+=("$line"); done \
        < <(env | grep -E '^(PIP_[A-Z0-9_]+|CI|https?_proxy|no_proxy)=' || true)
    # In its own session, waited for in the background: a signal to this
    # script then runs its trap at once, which ends the whole session
    # (stop_root_commands) before the mounts are undone.
    setsid chroot "$root" /usr/bin/env -i "${vars[@]}" /bin/bash -c "$*" &
    ROOT_SESSION=$!
    local status=0
    wait "$ROOT_SESSION" || status=$?
    ROOT_SESSION=""
    return "$status"
}

stop_root_commands() {
    if [ -n "${ROOT_SESSION:-}" ]; then
        kill -TERM -- "-$ROOT_SESSION" 2>/dev/null || true
        wait "$ROOT_SESSION" 2>/dev/null || true
        ROOT_SESSION=""
    fi
}

# pip's configuration files on the host, in pip's own search order.
pip_config_files() {
    local dir
    local -a candidates=(/etc/pip.conf)
    IFS=: read -r -a xdg <<<"${XDG_CONFIG_DIRS:-/etc/xdg}"
    for dir in "${xdg[@]}"; do candidates+=("$dir/pip/pip.conf"); done
    candidates+=("$HOME/.pip/pip.conf" "${XDG_CONFIG_HOME:-$HOME/.config}/pip/pip.conf" "${PIP_CONFIG_FILE:-}")
    for dir in "${candidates[@]}"; do
        if [ -n "$dir" ] && [ -f "$dir" ]; then echo "$dir"; fi
    done
}

# Every absolute path or file:// location named by a pip configuration file
# or a PIP_* variable. A local index (a folder named simple) links to its
# files beside it, so its parent folder is named instead.
pip_named_paths() {
    local f
    {
        for f in $(pip_config_files); do sed -e 's/^[^#;=[]*=//' -e '/^[[:space:]]*[#;[]/d' "$f"; done
        env | sed -n 's/^PIP_[A-Z0-9_]*=//p'
    } | tr ' \t,' '\n\n\n' | sed -n -e 's#^file://##' -e '\#^/#p' \
      | sed -E 's#/simple/?$##' | sort -u
}

# share_path ROOT PATH: PATH exists inside ROOT as on the host; a folder is
# mounted read-only, a file copied. A path missing on the host stays missing.
share_path() {
    local root="$1" path="$2"
    if [ -d "$path" ]; then
        mount_into "$root" "$path" ro
    elif [ -f "$path" ]; then
        mkdir -p "$(dirname "$root$path")" && cp -f "$path" "$root$path"
    else
        echo "   note: '$path' named by pip's configuration does not exist on this machine" >&2
    fi
}

# The host's name resolution, apt configuration (with every file it names:
# proxies' and mirrors' certificates) and pip's configuration files. Run
# before each use of the root, so changes on the host reach it.
copy_host_configuration() {
    local root="$1" f
    cp -fL /etc/resolv.conf "$root/etc/resolv.conf"
    mkdir -p "$root/etc/apt/apt.conf.d" "$root/etc/apt/auth.conf.d"
    [ -d /etc/apt/apt.conf.d ] && find /etc/apt/apt.conf.d -maxdepth 1 -type f -exec cp -f {} "$root/etc/apt/apt.conf.d/" \;
    [ -d /etc/apt/auth.conf.d ] && find /etc/apt/auth.conf.d -maxdepth 1 -type f -exec cp -f {} "$root/etc/apt/auth.conf.d/" \;
    if command -v apt-config >/dev/null 2>&1; then
        for f in $(apt-config dump 2>/dev/null | grep -E '^Acquire::' | grep -oE '"/[^"]+"' | tr -d '"' | sort -u); do
            if [ -f "$f" ]; then mkdir -p "$(dirname "$root$f")" && cp -f "$f" "$root$f"; fi
        done
    fi
    for f in $(pip_config_files); do
        mkdir -p "$(dirname "$root$f")" && cp -f "$f" "$root$f"
    done
}

# make_root ROOT SUITE MIRROR PACKAGE...: a new root with the packages, made
# beside the old one and moved into place only when complete.
make_root() {
    local root="$1" suite="$2" mirror="$3" log="$1.log"
    shift 3
    local work="$root.new"
    remove_tree "$work"
    if ! debootstrap --variant=minbase "$suite" "$work" "$mirror" >"$log" 2>&1; then
        tail -n 30 "$log" >&2
        echo "error: debootstrap failed although the package server answered (log: $log)" >&2
        return 1
    fi
    copy_host_configuration "$work"
    mount_into "$work" /proc proc
    mount_into "$work" /dev bind
    if ! run_in_root "$work" "apt-get update -q && DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q --no-install-recommends $* && apt-get clean" >>"$log" 2>&1; then
        tail -n 30 "$log" >&2
        echo "error: installing the packages into the root failed (log: $log)" >&2
        return 1
    fi
    undo_mounts
    date -u +%Y-%m-%dT%H:%M:%SZ >"$work/.zln-made"
    remove_tree "$root"
    mv "$work" "$root"
}

# copy_clone SOURCE DEST: the clone's files (tracked and new, as in the working
# tree) replace DEST's, keeping DEST's environments and build folders so
# builds stay incremental (tar keeps modification times).
copy_clone() {
    local src="$1" dst="$2"
    mkdir -p "$dst"
    find "$dst" -mindepth 1 -maxdepth 1 ! -name build ! -name '.venv-*' -exec rm -rf --one-file-system {} +
    (cd "$src" && git ls-files -z --cached --others --exclude-standard | tar --null -T - --ignore-failed-read -cf - 2>/dev/null) \
        | tar -xf - -C "$dst"
}
