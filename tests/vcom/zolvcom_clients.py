#!/usr/bin/python3
"""Serial clients nobody here wrote, on zolvcom's ports: pyserial, stty,
libserialport and screen against /dev/ttyZOL3, with the test as the device
side. Runs only on the kernel the module is built for (the kernel stage's
guest); elsewhere every case is skipped.

usage: zolvcom_clients.py ZOLVCOM_KO KERNEL_RELEASE [unittest args]
"""
import ctypes
import fcntl
import os
import pwd
import select
import struct
import subprocess
import sys
import termios
import time
import unittest

KO, RELEASE = sys.argv[1], sys.argv[2]
APP, DEV = "/dev/ttyZOL3", "/dev/zolvcom/ZOL_COM3"
MARK = "zolvcom_clients: start"
DEADLINE = 20.0


def _ioc(direction, number, size):
    return (direction << 30) | (size << 16) | (ord("Z") << 8) | number


IOC_INFO = _ioc(2, 0x01, 12)
IOC_SET_RCVRDY = _ioc(0, 0x02, 0)
IOC_CLR_RCVRDY = _ioc(0, 0x03, 0)
IOC_LINE = _ioc(2, 0x04, 40)
EV_MCTRL, EV_TERMIOS, EV_BREAK = 0x1, 0x2, 0x4


def wait_for(cond, limit=DEADLINE):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.01)
    return cond()


def line(dev):
    fields = struct.unpack("10I", fcntl.ioctl(dev, IOC_LINE, bytes(40)))
    names = ("mctrl", "events", "breaks", "break_on", "iflag", "oflag", "cflag", "lflag", "ispeed", "ospeed")
    return dict(zip(names, fields))


def read_exactly(fd, count):
    out = b""
    end = time.monotonic() + DEADLINE
    while len(out) < count and time.monotonic() < end:
        if select.select([fd], [], [], max(0.0, end - time.monotonic()))[0]:
            out += os.read(fd, count - len(out))
    return out


def on_module_kernel():
    return os.uname().release == RELEASE


class Clients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not on_module_kernel():
            raise unittest.SkipTest("runs on the kernel zolvcom.ko is built for (%s): scripts/test kernel" % RELEASE)
        with open("/dev/kmsg", "w") as kmsg:
            kmsg.write(MARK)
        # Another test program may hold the module: its end unloads it.
        ok = wait_for(lambda: subprocess.run(["insmod", KO, "ports=3"], capture_output=True).returncode == 0)
        assert ok, "insmod " + KO
        assert wait_for(lambda: os.path.exists(APP) and os.path.exists(DEV))

    @classmethod
    def tearDownClass(cls):
        if not on_module_kernel():
            return
        assert wait_for(lambda: subprocess.run(["rmmod", "zolvcom"], capture_output=True).returncode == 0)
        log = subprocess.run(["dmesg"], capture_output=True, text=True).stdout
        # The mark may be lost to the rate limit of /dev/kmsg: then the whole log.
        log = log[max(log.rfind(MARK), 0):]
        for bad in ("BUG:", "WARNING:", "Oops", "general protection", "lockdep", "memory leak", "port count", "zolvcom: cannot"):
            assert bad not in log, "kernel log has %r:\n%s" % (bad, log)

    def setUp(self):
        self.dev = os.open(DEV, os.O_RDWR | os.O_NONBLOCK)
        line(self.dev)  # the events before the case

    def tearDown(self):
        os.close(self.dev)

    def test_pyserial(self):
        import serial

        fcntl.ioctl(self.dev, IOC_SET_RCVRDY)
        with serial.Serial(APP, 19200, rtscts=True, dsrdtr=True, timeout=DEADLINE) as port:
            # DSR and CD: the device side is there; CTS: it is ready.
            lines = [("ready", True), ("not ready", False)]
            for what, ready in lines:
                with self.subTest(what):
                    fcntl.ioctl(self.dev, IOC_SET_RCVRDY if ready else IOC_CLR_RCVRDY)
                    self.assertEqual((port.dsr, port.cd, port.cts, port.ri), (True, True, ready, False))
            fcntl.ioctl(self.dev, IOC_SET_RCVRDY)
            settings = [(False, True), (True, False), (False, False), (True, True)]
            for dtr, rts in settings:
                with self.subTest(dtr=dtr, rts=rts):
                    port.dtr, port.rts = dtr, rts
                    got = line(self.dev)
                    self.assertEqual(got["mctrl"], (termios.TIOCM_DTR if dtr else 0) | (termios.TIOCM_RTS if rts else 0))
                    self.assertTrue(got["events"] & EV_MCTRL)
            self.assertEqual(line(self.dev)["ospeed"], 19200)
            self.assertTrue(line(self.dev)["cflag"] & termios.CRTSCTS)
            port.send_break(0.05)
            got = line(self.dev)
            self.assertEqual((got["breaks"], got["break_on"]), (1, 0))
            self.assertTrue(got["events"] & EV_BREAK)
            port.write(b"from pyserial")
            self.assertEqual(read_exactly(self.dev, 13), b"from pyserial")
            os.write(self.dev, b"to pyserial")
            self.assertEqual(port.read(11), b"to pyserial")
        # Not sent while the device side is not ready (hardware flow control).
        fcntl.ioctl(self.dev, IOC_CLR_RCVRDY)
        with serial.Serial(APP, 9600, rtscts=True, write_timeout=0.2) as port:
            self.assertRaises(serial.SerialTimeoutException, port.write, b"x" * 8192)
        with serial.Serial(APP, 9600) as port:  # the termios goes back
            pass

    def test_stty(self):
        cases = [
            (["19200", "cs7", "parenb", "crtscts"], 19200, termios.CS7 | termios.PARENB | termios.CRTSCTS),
            (["9600", "cs8", "-parenb", "-crtscts"], 9600, termios.CS8),
        ]
        for args, speed, flags in cases:
            with self.subTest(args=args):
                subprocess.run(["stty", "-F", APP] + args, check=True)
                got = line(self.dev)
                mask = termios.CSIZE | termios.PARENB | termios.CRTSCTS
                self.assertEqual((got["ospeed"], got["cflag"] & mask), (speed, flags))
                self.assertTrue(got["events"] & EV_TERMIOS)
                shown = subprocess.run(["stty", "-F", APP, "-a"], check=True, capture_output=True, text=True).stdout
                self.assertIn("speed %d baud" % speed, shown)

    def test_libserialport_opens_the_port_by_name(self):
        sp = ctypes.CDLL("libserialport.so.0")
        port = ctypes.c_void_p()
        self.assertEqual(sp.sp_get_port_by_name(APP.encode(), ctypes.byref(port)), 0)
        sp.sp_get_port_transport.restype = ctypes.c_int
        self.assertEqual(sp.sp_get_port_transport(port), 0)  # SP_TRANSPORT_NATIVE
        listed = ctypes.POINTER(ctypes.c_void_p)()
        self.assertEqual(sp.sp_list_ports(ctypes.byref(listed)), 0)
        sp.sp_get_port_name.restype = ctypes.c_char_p
        names = []
        i = 0
        while listed[i]:
            names.append(sp.sp_get_port_name(ctypes.c_void_p(listed[i])).decode())
            i += 1
        sp.sp_free_port_list(listed)
        self.assertIn(APP, names)
        self.assertEqual(sp.sp_open(port, 3), 0)  # SP_MODE_READ_WRITE
        self.assertEqual(sp.sp_blocking_write(port, b"sp", 2, 1000), 2)
        self.assertEqual(read_exactly(self.dev, 2), b"sp")
        sp.sp_close(port)
        sp.sp_free_port(port)

    def test_screen_leaves_no_exclusive_lock(self):
        os.chmod(APP, 0o666)
        nobody = pwd.getpwnam("nobody").pw_uid

        def other_opens():
            pid = os.fork()
            if pid == 0:
                try:
                    os.setgid(nobody)
                    os.setuid(nobody)
                    os.close(os.open(APP, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
                    os._exit(0)
                except OSError:
                    os._exit(1)
            return os.waitpid(pid, 0)[1] == 0

        name = "zolvcom%d" % os.getpid()
        os.makedirs("/tmp/screens", mode=0o700, exist_ok=True)
        screen = subprocess.Popen(["screen", "-D", "-m", "-S", name, APP, "9600"],
                                  env=dict(os.environ, SCREENDIR="/tmp/screens", TERM="vt100"))
        try:
            # One application at a time: nobody else gets in while screen has the port.
            self.assertTrue(wait_for(lambda: not other_opens()))
        finally:
            subprocess.run(["screen", "-S", name, "-X", "quit"], env=dict(os.environ, SCREENDIR="/tmp/screens"))
            screen.wait(DEADLINE)
        self.assertTrue(other_opens())


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
