# The virtual machine that scripts/check-uart and scripts/check-usb-serial
# run romup in, and what the two checks share: Debian's generic kernel (the
# 8250 UART driver built in, the USB serial drivers as modules), a busybox
# init, romup and the guest's helpers built statically by the static preset,
# romup-sim on this host at the other end of the guest's port, and the
# verdicts. Each check sets $vm_name and sources it after scripts/lib.sh from
# the top of the tree:
#
#   vm_name=check-uart
#   . scripts/lib.sh
#   . scripts/vm.sh
#   vm_begin
#
# vm_begin                    the check's start: $work (removed at the end),
#                             the traps, QEMU, socat and kmod, romup-sim and
#                             romup-mkimage, the kernel and busybox
# fail MESSAGE                the check's last line, FAIL: MESSAGE; exit 1
# vm_tree TREE                a guest tree: busybox, romup, romup-control,
#                             serial-state, the images ($work/fw.bin the
#                             firmware's bytes)
# vm_modules TREE MODULE...   the modules with those they depend on, into
#                             TREE/modules, their order in TREE/modules/order
# vm_init TREE <BODY          TREE/init: the shared prelude, then BODY
# vm_pack TREE                TREE as the initial RAM disk $work/initrd.gz
# vm_sim [OPTION...]          romup-sim on $work/link, paced, its Flash in
#                             $work/flash.bin
# vm_boot CASE RATE ARG...    boots on it within 200 s, QEMU's further
#                             arguments ARG; the console in $work/console,
#                             QEMU's own output in $work/qemu.log
# vm_run_case CASE RATE [OPTION...]
#                             vm_sim with OPTION, socat's bridge at RATE, and
#                             vm_boot with the check's "${vm_modem[@]}"
# vm_stop_all                 ends what runs in the background: QEMU, socat
#                             and romup-sim (SIGTERM: the Flash saved)
# verdict CASE CHECK...       each CHECK a quoted command; one line for the
#                             case, ok with its times (and what the check's
#                             vm_details prints, if it defines one) or the
#                             check that failed with the console
# vm_conclude                 the last line, PASS or FAIL, with the tally
# console_has TEXT            the guest told the line "<check>: TEXT"
# console_value WHAT          what follows "<check>: WHAT " on the console
# seconds_below WHAT LIMIT    the guest's "WHAT seconds" is below LIMIT
# flash_is_image              romup-sim's Flash ($work/flash.bin) is the image
#
# The kernel's package is about 70 MB; only its image, its configuration and
# drivers/usb with the module lists (about 20 MB) are kept, in
# build/check-uart/cache/<package>_<version>.

root=$PWD
vm_pids=()
vm_cache=$root/build/check-uart/cache
vm_name=${vm_name:-vm}
# Set once the last line, PASS or FAIL, is out.
vm_concluded=0
vm_cases=0
vm_failures=0

vm_cleanup() {
    vm_stop_all
    rm -rf "$work"
    [ "$vm_concluded" -eq 1 ] || echo "$vm_name: FAIL (stopped early)"
}

fail() {
    vm_concluded=1
    echo "$vm_name: FAIL: $*"
    exit 1
}

vm_begin() {
    work=$(mktemp -d -t "romup-$vm_name.XXXXXX")
    trap vm_cleanup EXIT
    trap 'exit 1' INT TERM HUP
    scripts/setup qemu-system-x86 socat kmod
    build_default romup-sim romup-mkimage
    vm_started=$(date +%s)
    vm_fetch
}

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
    if [ ! -d "$vm_kernel/lib/modules" ]; then
        local deb=$work/deb part=$vm_kernel.part
        mkdir -p "$deb"
        (cd "$deb" && timeout 600 apt-get download -q "$kernel" 2>/dev/null) ||
            fail "cannot download $kernel"
        rm -rf "$part"
        mkdir -p "$part"
        dpkg-deb --fsys-tarfile "$deb"/"$kernel"_*.deb |
            tar -x -C "$part" --wildcards './boot/vmlinuz-*' './boot/config-*' \
                './lib/modules/*/modules.order' './lib/modules/*/modules.builtin' \
                './lib/modules/*/modules.builtin.modinfo' \
                './lib/modules/*/kernel/drivers/usb/*' || fail "cannot unpack $kernel"
        mv "$part"/boot/vmlinuz-* "$part/vmlinuz"
        mv "$part"/boot/config-* "$part/config"
        rm -rf "$part/boot" "$deb"
        # The package leaves modules.dep to its installation; modprobe reads it.
        PATH=$PATH:/usr/sbin:/sbin depmod -b "$part" "$(ls "$part/lib/modules")" ||
            fail "depmod failed on $kernel"
        rm -rf "$vm_kernel"
        mv "$part" "$vm_kernel"
    fi
    vm_kernel_release=$(ls "$vm_kernel/lib/modules")
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
    local tree=$1 program
    mkdir -p "$tree"/{bin,dev,proc,sys,tmp,images,etc}
    cp "$vm_busybox" "$tree/bin/busybox"
    [ -f build/static/build.ninja ] || cmake --preset static >/dev/null ||
        fail "cannot configure the static preset"
    cmake --build --preset static >"$work/static.log" 2>&1 || {
        cat "$work/static.log"
        fail "cannot build the static preset"
    }
    for program in build/static/romup build/static/tests/uart/romup-control \
        build/static/tests/uart/serial-state; do
        # The guest has no C library to load.
        file -b "$program" | grep -q 'statically linked' || fail "$program is not static"
        cp "$program" "$tree/"
    done
    "$root/build/default/sim/romup-mkimage" --bytes 2048 --hex "$tree/images/fw.hex" \
        --bin "$work/fw.bin" >/dev/null
    "$root/build/default/sim/romup-mkimage" --bytes 512 --seed 2 \
        --hex "$tree/images/loader.hex" >/dev/null
}

vm_modules() {
    local tree=$1 lines path name
    shift
    mkdir -p "$tree/modules"
    # One "insmod PATH" line per module, each after those it needs, and
    # "builtin NAME" for those in the kernel image; the host's own modprobe
    # configuration is left out (-C /dev/null).
    lines=$(PATH=$PATH:/usr/sbin:/sbin modprobe -C /dev/null -d "$vm_kernel" \
        -S "$vm_kernel_release" --show-depends -a "$@" 2>&1) ||
        fail "modprobe cannot resolve $*: $lines"
    : >"$tree/modules/order"
    while read -r word path _; do
        [ "$word" = insmod ] || continue
        name=$(basename "$path")
        name=${name%%.ko*}
        # Modules two of them need are listed twice.
        grep -qxF "$name" "$tree/modules/order" && continue
        case $path in
        *.ko) cp "$path" "$tree/modules/$name.ko" ;;
        *.ko.xz) xz -dc "$path" >"$tree/modules/$name.ko" ;;
        *.ko.zst) zstd -dcq "$path" >"$tree/modules/$name.ko" ;;
        *) fail "module $path: a compression busybox's insmod cannot read" ;;
        esac
        echo "$name" >>"$tree/modules/order"
    done <<<"$lines"
}

# The guest's init begins with this prelude: the file systems, and the shell
# functions that start romup, watch it and report on the console (ttyS0):
#   say TEXT            the console line "<check>: TEXT"
#   uptime_s            the guest's uptime in seconds, to a hundredth
#   romup_start CMD...  CMD (romup, or su running it) in the background,
#                       answered "y", its output in /tmp/out; $start
#   romup_running       romup has not ended yet
#   seen TEXT           romup's output so far holds TEXT
#   romup_end           waits for romup: $status, $end
#   since WHAT TIME     the line "WHAT seconds" from TIME to romup's end, if
#                       TIME is set
#   report              romup's output line by line, its time and status;
#                       then powers off
# The kernel passes vm_case and vm_rate from its command line to init.
vm_init() {
    cat >"$1/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
vm_name=$vm_name
EOF
    cat >>"$1/init" <<'EOF'
say() { echo "$vm_name: $*" >/dev/console; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }
romup_start() {
    start=$(uptime_s)
    echo y | timeout -s KILL 120 "$@" >/tmp/out 2>&1 &
    romup_pid=$!
}
romup_running() { kill -0 $romup_pid 2>/dev/null; }
seen() { grep -q "$1" /tmp/out; }
romup_end() {
    wait $romup_pid
    status=$?
    end=$(uptime_s)
}
since() { [ -z "$2" ] || say "$1 seconds $(awk "BEGIN { print $end - $2 }")"; }
report() {
    tr '\r\b' '\n\n' </tmp/out | grep -v '^ *$' | sed "s/^/$vm_name: out /" >/dev/console
    say "seconds $(awk "BEGIN { print $end - $start }")"
    say "status $status"
    poweroff -f
}
EOF
    cat >>"$1/init"
    chmod +x "$1/init"
}

vm_pack() {
    (cd "$1" && find . | "$1/bin/busybox" cpio -o -H newc 2>/dev/null | gzip -1) \
        >"$work/initrd.gz"
}

vm_sim() {
    rm -f "$work/flash.bin"
    start_sim "$work/link" "$work/sim.out" --pace --erase-ms 1000 --flash "$work/flash.bin" \
        "$@" || fail "romup-sim did not start"
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

# The guest's port is the check's own (vm_modem: QEMU's arguments for it); its
# far end the UNIX socket $work/sock, which socat bridges to romup-sim's
# device at the run's rate, so that romup-sim --pace paces the line at it.
# QEMU itself paces neither its UART nor its USB adapter.
vm_run_case() {
    local name=$1 rate=$2
    shift 2
    vm_sim "$@"
    rm -f "$work/sock"
    socat "UNIX-LISTEN:$work/sock" "FILE:$(readlink "$work/link"),rawer,b$rate" \
        >"$work/socat.log" 2>&1 &
    vm_pids+=($!)
    wait_for 10 test -S "$work/sock" || fail "socat did not listen"
    vm_boot "$name" "$rate" "${vm_modem[@]}"
    vm_stop_all
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

verdict() {
    local name=$1 check times
    shift
    vm_cases=$((vm_cases + 1))
    for check in "$@"; do
        if ! eval "$check"; then
            echo "$vm_name: $name: failed: $check"
            sed 's/^/    /' "$work/console"
            tail -20 "$work/qemu.log" | sed 's/^/    qemu: /'
            vm_failures=$((vm_failures + 1))
            return
        fi
    done
    times="run $(console_value seconds) s$(tr -d '\r' <"$work/console" |
        sed -n "s/^$vm_name: \([a-z]*\) seconds \(.*\)/, from \1 to exit \2 s/p" | tr -d '\n')"
    if declare -F vm_details >/dev/null; then
        times="$times, $(vm_details)"
    fi
    echo "$vm_name: $name: ok ($times)"
}

vm_conclude() {
    local elapsed=$(($(date +%s) - vm_started))
    vm_concluded=1
    if [ "$vm_failures" -ne 0 ]; then
        echo "$vm_name: FAIL ($vm_failures of $vm_cases cases, ${elapsed} s)"
        exit 1
    fi
    echo "$vm_name: PASS ($vm_cases cases, ${elapsed} s)"
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
