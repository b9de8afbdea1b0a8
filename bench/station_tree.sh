# Sourced by the station benches: a temporary sysfs and /dev tree in $work
# with a hub 1-1, virtual transmitter units, and their adapters plugged into
# and taken out of its sockets. Set `build`, `work_name` (the temporary
# folder's prefix), `image_bytes` and `serial_prefix` first.
work=$(mktemp -d "/tmp/$work_name-XXXXXX")
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
head -c "$image_bytes" /dev/urandom >"$work/fw.bin"
sys=$work/sys
mkdir -p "$sys/bus/usb/devices/1-1" "$sys/class/tty" "$sys/bus/usb-serial/devices" "$work/dev"

# Starts virtual unit I; adds it to `sockets` for the modem-line library.
sockets=""
start_unit() {
    local dir="$work/unit$1"
    mkdir -p "$dir"
    "$build/bin/zkunit-sim" --target tx --out "$dir" >"$dir.out" 2>"$dir.err" &
    pids+=($!)
    for _ in $(seq 200); do grep -q '^ready$' "$dir.out" 2>/dev/null && break; sleep 0.05; done
    sockets+="${sockets:+:}$(head -n 1 "$dir.out")=$dir/modemline.sock"
}

# Plugs unit I into socket 1-1.I, its node first and its sysfs entries last,
# and takes it out again.
plug() {
    local name=ttyUSB$1 usb=1-1.$1
    local port=$sys/devices/pci0/usb1/$usb/$usb:1.0/$name
    ln -s "$(head -n 1 "$work/unit$1.out")" "$work/dev/$name"
    mkdir -p "$port/tty/$name"
    printf '0403\n' >"$sys/devices/pci0/usb1/$usb/idVendor"
    printf '6001\n' >"$sys/devices/pci0/usb1/$usb/idProduct"
    printf '%s%03d\n' "$serial_prefix" "$1" >"$sys/devices/pci0/usb1/$usb/serial"
    printf '0\n' >"$port/port_number"
    ln -s "$port" "$port/tty/$name/device"
    ln -s "$port/tty/$name" "$sys/class/tty/$name"
    ln -s "$port" "$sys/bus/usb-serial/devices/$name"
}
unplug() {
    rm -f "$sys/bus/usb-serial/devices/ttyUSB$1" "$sys/class/tty/ttyUSB$1" "$work/dev/ttyUSB$1"
    rm -rf "$sys/devices/pci0/usb1/1-1.$1"
}
