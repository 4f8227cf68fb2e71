# The point-of-sale application on a COM port, as the test's users run it:
#   app.py PORT write HEX         writes the bytes, waits until they are sent
#   app.py PORT read SECONDS FLAG reads until the line is quiet; touches FLAG once open
#   app.py PORT open              only opens (exit 13 on EACCES)
import errno, os, select, sys, termios, time, tty

path, mode = sys.argv[1], sys.argv[2]
try:
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
except PermissionError:
    print("EACCES")
    sys.exit(errno.EACCES)
tty.setraw(fd)
if mode == "write":
    os.write(fd, bytes.fromhex(sys.argv[3]))
    termios.tcdrain(fd)
elif mode == "read":
    open(sys.argv[4], "w").close()
    deadline, data, quiet = time.time() + float(sys.argv[3]), b"", None
    while time.time() < deadline:
        r, _, _ = select.select([fd], [], [], 0.2)
        if r:
            data += os.read(fd, 4096)
            quiet = time.time()
        elif data and time.time() - quiet > 0.5:
            break
    sys.stdout.write(data.decode("latin-1"))
os.close(fd)
