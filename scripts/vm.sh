# The virtual machine that scripts/check-uart and scripts/check-usb-serial
# run romup in: Debian's generic kernel (the 8250 UART driver built in, the
# USB serial drivers as modules), a busybox init from the check, and romup
# built statically. Each check sources it after scripts/lib.sh, with $root
# the top of the tree and $work its own temporary folder:
#
#   . scripts/lib.sh
#   . scripts/vm.sh
#
# vm_fetch                    the kernel and busybox, from the cache or
#                             Debian's packages: $vm_kernel (its folder, with
#                             vmlinuz, its config and drivers/usb), $vm_busybox
# vm_tree TREE                a guest tree: busybox, romup, serial-state and
#                             the images ($work/fw.bin the firmware's bytes)
# vm_modules TREE MODULE...   the modules, each after those it depends on,
#                             into TREE/modules, their order in TREE/modules/order
# vm_pack TREE                TREE as the initial RAM disk $work/initrd.gz
# vm_boot CASE RATE ARG...    boots on it within 200 s, QEMU's further
#                             arguments ARG; the console in $work/console,
#                             QEMU's own output in $work/qemu.log
# vm_bridge RATE              socat from the UNIX socket $work/sock to
#                             romup-sim's device ($work/link) at RATE
# vm_stop_all                 ends what runs in the background: QEMU, socat
#                             and romup-sim (SIGTERM: the Flash saved)
# console_has TEXT            the guest told the line "<check>: TEXT"
# console_value WHAT          what follows "<check>: WHAT " on the console
# seconds_below WHAT LIMIT    the guest's "WHAT seconds" is below LIMIT
# flash_is_image              romup-sim's Flash ($work/flash.bin) is the image
#
# The kernel's package is about 70 MB; only its image and drivers/usb (about
# 20 MB) are kept, in build/check-uart/cache/<package>_<version>.

vm_pids=()
vm_cache=$root/build/check-uart/cache

# The check's name, as its guest prefixes its report.
vm_name=${vm_name:-vm}

vm_fetch() {
    local sudo_cmd=() kernel version
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    mkdir -p "$vm_cache"
    kernel=$(apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1)
    if [ -z "$kernel" ]; then
        "${sudo_cmd[@]}" apt-get update -qq || true
        kernel=$(apt-cache depends linux-image-amd64 2>/dev/null |
            sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1)
    fi
    if [ -n "$kernel" ]; then
        version=$(apt-cache show --no-all-versions "$kernel" | sed -n 's/^Version: //p')
        vm_kernel=$vm_cache/${kernel}_$version
    else
        # No package lists (offline): the newest kernel fetched before.
        vm_kernel=$(find "$vm_cache" -maxdepth 1 -name 'linux-image-*' -type d | sort -V | tail -1)
        [ -n "$vm_kernel" ] || fail "no linux-image-amd64 in the package lists"
    fi
    if [ ! -f "$vm_kernel/vmlinuz" ]; then
        local deb=$work/deb
        mkdir -p "$deb"
        (cd "$deb" && timeout 600 apt-get download -q "$kernel" 2>/dev/null) ||
            fail "cannot download $kernel"
        rm -rf "$vm_kernel.part"
        mkdir -p "$vm_kernel.part"
        dpkg-deb --fsys-tarfile "$deb"/"$kernel"_*.deb |
            tar -x -C "$vm_kernel.part" --wildcards './boot/vmlinuz-*' './boot/config-*' \
                './lib/modules/*/kernel/drivers/usb/*' || fail "cannot unpack $kernel"
        mv "$vm_kernel.part"/boot/vmlinuz-* "$vm_kernel.part/vmlinuz"
        mv "$vm_kernel.part"/boot/config-* "$vm_kernel.part/config"
        mv "$vm_kernel.part"/lib/modules/*/kernel/drivers/usb "$vm_kernel.part/usb"
        rm -rf "$vm_kernel.part/boot" "$vm_kernel.part/lib" "$deb"
        mv "$vm_kernel.part" "$vm_kernel"
    fi
    grep -q '^CONFIG_SERIAL_8250=y' "$vm_kernel/config" ||
        fail "$(basename "$vm_kernel") does not have the 8250 driver built in"
    vm_busybox=$vm_cache/busybox
    if [ ! -x "$vm_busybox" ]; then
        mkdir -p "$work/bb"
        (cd "$work/bb" && timeout 300 apt-get download -q busybox-static 2>/dev/null &&
            dpkg -x busybox-static_*.deb .) || fail "cannot download busybox-static"
        mv "$work/bb/bin/busybox" "$vm_busybox"
        rm -rf "$work/bb"
    fi
}

vm_tree() {
    local tree=$1 sources
    mkdir -p "$tree"/{bin,dev,proc,sys,tmp,images,etc}
    cp "$vm_busybox" "$tree/bin/busybox"
    mapfile -t sources < <(find "$root/src" -name '*.cpp' | sort)
    g++ -std=c++17 -O2 -static -I"$root/src" "${sources[@]}" -o "$tree/romup" ||
        fail "cannot build romup statically"
    g++ -std=c++17 -O2 -static "$root/tests/uart/serial_state.cpp" -o "$tree/serial-state" ||
        fail "cannot build serial-state"
    "$root/build/default/sim/romup-mkimage" --bytes 2048 --hex "$tree/images/fw.hex" \
        --bin "$work/fw.bin" >/dev/null
    "$root/build/default/sim/romup-mkimage" --bytes 512 --seed 2 \
        --hex "$tree/images/loader.hex" >/dev/null
}

vm_modules() {
    local tree=$1 order=() module
    shift
    mkdir -p "$tree/modules"
    # Depth first: a module goes in once all it depends on is in.
    add_module() {
        local name=$1 file dep
        case " ${order[*]} " in *" $name "*) return 0 ;; esac
        file=$(find "$vm_kernel/usb" \( -name "$name.ko" -o -name "${name//_/-}.ko" -o \
            -name "${name//-/_}.ko" \) | head -1)
        [ -n "$file" ] || fail "no module $name in $(basename "$vm_kernel")/drivers/usb"
        for dep in $(modinfo -F depends "$file" | tr ',' ' '); do
            add_module "$dep"
        done
        cp "$file" "$tree/modules/$name.ko"
        order+=("$name")
    }
    for module in "$@"; do
        add_module "$module"
    done
    printf '%s\n' "${order[@]}" >"$tree/modules/order"
}

vm_pack() {
    (cd "$1" && find . | "$1/bin/busybox" cpio -o -H newc 2>/dev/null | gzip -1) \
        >"$work/initrd.gz"
}

vm_boot() {
    local name=$1 rate=$2
    shift 2
    rm -f "$work/console"
    # In the background, so that a signal to the check ends it at once
    # (timeout passes the signal on to QEMU).
    timeout 200 qemu-system-x86_64 -machine pc,accel=tcg -smp 1 -m 256 -nodefaults \
        -display none -no-reboot -kernel "$vm_kernel/vmlinuz" -initrd "$work/initrd.gz" \
        -append "console=ttyS0 quiet panic=-1 vm_case=$name vm_rate=$rate" \
        -chardev "file,id=console,path=$work/console" -serial chardev:console \
        "$@" >"$work/qemu.log" 2>&1 &
    vm_pids+=($!)
    wait $! || true
    [ -f "$work/console" ] || touch "$work/console"
}

vm_bridge() {
    rm -f "$work/sock"
    socat "UNIX-LISTEN:$work/sock" "FILE:$(readlink "$work/link"),rawer,b$1" \
        >"$work/socat.log" 2>&1 &
    vm_pids+=($!)
    wait_for 10 test -S "$work/sock" || fail "socat did not listen"
}

vm_stop_all() {
    local pid
    for pid in "${vm_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${vm_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    vm_pids=()
    stop_sim
}

# wait_for SECONDS TEST...: polls TEST every 0.1 s; false after SECONDS.
wait_for() {
    local tenths=$(($1 * 10))
    shift
    while ! "$@"; do
        tenths=$((tenths - 1))
        [ "$tenths" -gt 0 ] || return 1
        sleep 0.1
    done
}

console_has() {
    grep -qxF "$vm_name: $1" <(tr -d '\r' <"$work/console")
}

console_value() {
    tr -d '\r' <"$work/console" | sed -n "s/^$vm_name: $1 //p" | head -1
}

flash_is_image() {
    cmp -s "$work/flash.bin" "$work/fw.bin"
}

seconds_below() {
    local seconds
    seconds=$(console_value "$1 seconds")
    [ -n "$seconds" ] && awk "BEGIN { exit !($seconds < $2) }"
}
