"""ozu_brix.list_ports() over a fabricated sysfs and /dev tree, and over the machine's own."""
import os
import subprocess
import sys
import time

import pytest

import ozu_brix
from ozu_brix import PortInfo, list_ports

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="sysfs is Linux's")

USB = "devices/pci0000:00/0000:00:14.0/usb1"


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text + "\n")


def link(path, target):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.symlink_to(target)


def tty(sys_root, name, device=None, uart_type=None):
    """/sys/class/tty/NAME, with a device link to sys_root/DEVICE when given."""
    folder = sys_root / "class" / "tty" / name
    folder.mkdir(parents=True)
    if device is not None:
        (sys_root / device).mkdir(parents=True, exist_ok=True)
        link(folder / "device", os.path.relpath(sys_root / device, folder))
    if uart_type is not None:
        write(folder / "type", str(uart_type))


@pytest.fixture
def tree(tmp_path):
    sys_root, dev = tmp_path / "sys", tmp_path / "dev"
    # An FTDI adapter: ids on the USB device, the tty below its interface.
    adapter = f"{USB}/1-1/1-1.2"
    for name, value in {"idVendor": "0403", "idProduct": "6001", "serial": "A12345",
                        "manufacturer": "FTDI", "product": "FT232R USB UART"}.items():
        write(sys_root / adapter / name, value)
    tty(sys_root, "ttyUSB0", f"{adapter}/1-1.2:1.0/ttyUSB0")
    # A CDC modem without a serial number, whose interface names itself.
    modem = f"{USB}/1-1/1-1.3"
    write(sys_root / modem / "idVendor", "2341")
    write(sys_root / modem / "idProduct", "0043")
    write(sys_root / modem / "product", "Uno")
    write(sys_root / modem / "1-1.3:1.0" / "interface", "CDC ACM")
    tty(sys_root, "ttyACM0", f"{modem}/1-1.3:1.0")
    # UARTs: two real ones (one past ttyS9, to check the order), an empty slot, a PCI card's.
    tty(sys_root, "ttyS0", "devices/pnp0/00:04", uart_type=4)
    write(sys_root / "devices/pnp0/00:04/modalias", "pnp:dPNP0501")
    tty(sys_root, "ttyS10", "devices/platform/serial8250", uart_type=4)
    tty(sys_root, "ttyS1", "devices/platform/serial8250", uart_type=0)
    tty(sys_root, "ttyS4", "devices/pci0000:00/0000:00:16.3", uart_type=4)
    write(sys_root / "devices/pci0000:00/0000:00:16.3/vendor", "0x8086")
    write(sys_root / "devices/pci0000:00/0000:00:16.3/device", "0x9d3d")
    # Consoles and ptys have no device.
    tty(sys_root, "tty0")
    tty(sys_root, "console")
    # udev's stable names; one for a device that is not there, one absolute.
    by_id = dev / "serial" / "by-id"
    link(by_id / "usb-FTDI_FT232R_USB_UART_A12345-if00-port0", "../../ttyUSB0")
    link(by_id / "usb-FTDI_FT232R_USB_UART_A12345-if00", "../../ttyUSB0")
    link(by_id / "usb-Arduino_Uno-if00", "/dev/ttyACM0")
    link(by_id / "usb-Gone-if00-port0", "../../ttyUSB7")
    return str(sys_root), str(dev)


def test_lists_ttys_with_a_device_sorted_and_described(tree):
    sys_root, dev = tree
    ports = list_ports(sysfs_root=sys_root, dev_root=dev)
    assert all(type(p) is PortInfo for p in ports)
    assert [p.device for p in ports] == [f"{dev}/{n}" for n in ("ttyACM0", "ttyS0", "ttyS4", "ttyS10", "ttyUSB0")]
    by_name = {os.path.basename(p.device): p for p in ports}

    usb = by_name["ttyUSB0"]
    assert usb.description == "FTDI FT232R USB UART"
    assert usb.hwid == "USB VID:PID=0403:6001 SER=A12345 LOCATION=1-1.2:1.0"
    assert usb.by_id == (f"{dev}/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00",
                         f"{dev}/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0")

    acm = by_name["ttyACM0"]
    assert acm.description == "CDC ACM"
    assert acm.hwid == "USB VID:PID=2341:0043 LOCATION=1-1.3:1.0"
    assert acm.by_id == (f"{dev}/serial/by-id/usb-Arduino_Uno-if00",)

    assert by_name["ttyS4"].hwid == "PCI VID:PID=8086:9d3d"
    assert by_name["ttyS0"].hwid == "pnp:dPNP0501"
    assert (by_name["ttyS0"].description, by_name["ttyS0"].by_id) == ("n/a", ())
    assert by_name["ttyS10"].hwid == "n/a"


def test_record_is_a_tuple_in_field_order(tree):
    sys_root, dev = tree
    acm = list_ports(sys_root, dev)[0]
    device, description, hwid, by_id = acm
    assert (device, description, hwid, by_id) == (acm.device, acm.description, acm.hwid, acm.by_id)


def test_no_sysfs_means_no_ports_and_roots_must_be_str(tmp_path):
    assert list_ports(sysfs_root=str(tmp_path / "none"), dev_root=str(tmp_path)) == []
    with pytest.raises(TypeError):
        list_ports(sysfs_root=tmp_path)


def test_the_machine_lists_real_ttys_and_never_a_pty(tmp_path):
    end = tmp_path / "pty"
    proc = subprocess.Popen(["socat", f"pty,raw,echo=0,link={end}", "pty,raw,echo=0"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if end.exists():
                break
            time.sleep(0.05)
        pty = os.path.realpath(end)
        assert pty.startswith("/dev/pts/")
        ports = list_ports()
        devices = [p.device for p in ports]
        assert pty not in devices
        for p in ports:
            assert os.path.exists(f"/sys/class/tty/{os.path.basename(p.device)}/device")
            assert p.description and p.hwid
    finally:
        proc.terminate()
        proc.wait()


def test_module_names_come_after_the_described_ones():
    names = list(vars(ozu_brix))
    assert names.index("PortInfo") > names.index("create_serial_instance")
    assert names.index("list_ports") > names.index("PortInfo")
