// SPDX-License-Identifier: GPL-2.0
/*
 * zolvcom: virtual serial ports whose far end is a program.
 *
 * Each port n has two ends:
 *  - the COM side, /dev/ttyZOL<n>: a tty an application opens like any
 *    serial port (termios, modem lines, break), one application at a time;
 *  - the device side, /dev/zolvcom/ZOL_COM<n>: a character device with one
 *    opener at a time (the port service), which reads what the application
 *    writes, writes what the application reads, and answers three ioctls.
 *
 * The modem lines carry the device side's state: DSR and DCD while it is
 * open, CTS while it has said it is ready to receive. The application's DTR
 * and RTS, its termios and its breaks are read by the device side.
 *
 * Nothing crosses from one opening of the COM side to the next: device-side
 * writes while no application has the port open fail with EPIPE, and what
 * either direction holds is dropped when the last application closes.
 *
 * Ports come from the "ports" parameter and are added or removed at run
 * time by writing a COM number to /sys/class/zolvcom/{add,remove}.
 */
#include <linux/cdev.h>
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/kfifo.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/poll.h>
#include <linux/serial.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/tty.h>
#include <linux/tty_driver.h>
#include <linux/tty_flip.h>
#include <linux/uaccess.h>
#include <linux/version.h>
#include <linux/wait.h>

#include "zolvcom_ioctl.h"

#define ZOL_MAX_PORT	255
#define ZOL_MINORS	(ZOL_MAX_PORT + 1)
#define ZOL_FIFO_SIZE	4096

static unsigned int ports[ZOL_MAX_PORT];
static int nports;
module_param_array(ports, uint, &nports, 0444);
MODULE_PARM_DESC(ports, "COM numbers to create at load (1-255), e.g. ports=3,4");

struct zol_port {
	struct tty_port port;
	unsigned int n;

	/* Everything below; taken by the tty's write, which may not sleep. */
	spinlock_t lock;
	bool app_open;		/* the COM side is open (activate .. shutdown) */
	bool dev_open;		/* the device side has its one opener */
	bool rcvrdy;		/* the device side is ready to receive: CTS */
	bool throttled;		/* the application's receive buffer is nearly full */
	bool full;		/* no room for the device side since full_since */
	unsigned long full_since;
	bool removed;
	unsigned int mctrl;	/* the application's TIOCM_DTR | TIOCM_RTS */
	unsigned int events;	/* ZOLVCOM_EV_* not read by the device side */
	unsigned int breaks;
	bool break_on;
	struct ktermios termios;
	DECLARE_KFIFO(to_dev, u8, ZOL_FIFO_SIZE);	/* application -> device side */

	wait_queue_head_t wait;	/* device-side readers, writers and pollers */
};

/* The parent of every port: a tty without one shows as virtual, and
 * serial port listers pass those over.
 */
static struct platform_device *zol_parent;
static struct tty_driver *zol_tty_driver;
static dev_t zol_devt;
static struct cdev zol_cdev;
static DEFINE_MUTEX(zol_table_lock);
static struct zol_port *zol_table[ZOL_MINORS];

/* The device side may write: the application's receive buffer has room,
 * and with CRTSCTS the application has not asked it to stop.
 */
static bool zol_room(struct zol_port *p)
{
	lockdep_assert_held(&p->lock);
	if (p->throttled && (p->termios.c_cflag & CRTSCTS))
		return false;
	return tty_buffer_space_avail(&p->port) > 0;
}

/* A buffer full for a moment is the normal state of a busy port: the port
 * is held only when it stays full (the port service pauses while held).
 */
#define ZOL_HOLD_AFTER_MS 50

static bool zol_hold(struct zol_port *p)
{
	lockdep_assert_held(&p->lock);
	if (!p->app_open || zol_room(p)) {
		p->full = false;
		return false;
	}
	if (!p->full) {
		p->full = true;
		p->full_since = jiffies;
	}
	return time_after_eq(jiffies, p->full_since + msecs_to_jiffies(ZOL_HOLD_AFTER_MS));
}

/* An application with CRTSCTS sends nothing while CTS is low. */
static bool zol_cts_blocks(struct zol_port *p, struct tty_struct *tty)
{
	return C_CRTSCTS(tty) && !(p->dev_open && p->rcvrdy);
}

static void zol_event(struct zol_port *p, unsigned int ev)
{
	lockdep_assert_held(&p->lock);
	p->events |= ev;
	wake_up_interruptible(&p->wait);
}

/* COM side: tty operations */

static int zol_install(struct tty_driver *driver, struct tty_struct *tty)
{
	struct zol_port *p;
	int ret;

	mutex_lock(&zol_table_lock);
	p = tty->index < ZOL_MINORS ? zol_table[tty->index] : NULL;
	if (p)
		tty_port_get(&p->port);
	mutex_unlock(&zol_table_lock);
	if (!p)
		return -ENODEV;
	ret = tty_port_install(&p->port, driver, tty);
	if (ret)
		tty_port_put(&p->port);
	return ret;
}

static void zol_cleanup(struct tty_struct *tty)
{
	tty_port_put(tty->port);
}

/*
 * Like a COM port, one application at a time, root too: an open while the
 * port is open (or an open waits for carrier) is refused until the last
 * close or a hang-up. The tty core closes a refused opening as any other,
 * so the refusal counts it as tty_port_open would, for the close to uncount.
 */
static int zol_open(struct tty_struct *tty, struct file *filp)
{
	struct tty_port *port = tty->port;
	unsigned long flags;
	bool busy;

	spin_lock_irqsave(&port->lock, flags);
	busy = port->count || port->blocked_open;
	if (busy)
		port->count++;
	spin_unlock_irqrestore(&port->lock, flags);
	if (busy)
		return -EBUSY;
	return tty_port_open(port, tty, filp);
}

static void zol_close(struct tty_struct *tty, struct file *filp)
{
	tty_port_close(tty->port, tty, filp);
}

static void zol_hangup(struct tty_struct *tty)
{
	tty_port_hangup(tty->port);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 6, 0)
static ssize_t zol_write(struct tty_struct *tty, const u8 *buf, size_t count)
#else
static int zol_write(struct tty_struct *tty, const u8 *buf, int count)
#endif
{
	struct zol_port *p = container_of(tty->port, struct zol_port, port);
	unsigned long flags;
	unsigned int n = 0;

	spin_lock_irqsave(&p->lock, flags);
	if (!zol_cts_blocks(p, tty))
		n = kfifo_in(&p->to_dev, buf, count);
	if (n)
		wake_up_interruptible(&p->wait);
	spin_unlock_irqrestore(&p->lock, flags);
	return n;
}

static unsigned int zol_write_room(struct tty_struct *tty)
{
	struct zol_port *p = container_of(tty->port, struct zol_port, port);
	unsigned long flags;
	unsigned int room = 0;

	spin_lock_irqsave(&p->lock, flags);
	if (!zol_cts_blocks(p, tty))
		room = kfifo_avail(&p->to_dev);
	spin_unlock_irqrestore(&p->lock, flags);
	return room;
}

/* What waits for the device side; nothing while there is none to wait for,
 * so that tcdrain() and close never hang on an absent reader.
 */
static unsigned int zol_chars_in_buffer(struct tty_struct *tty)
{
	struct zol_port *p = container_of(tty->port, struct zol_port, port);
	unsigned long flags;
	unsigned int len = 0;

	spin_lock_irqsave(&p->lock, flags);
	if (p->dev_open)
		len = kfifo_len(&p->to_dev);
	spin_unlock_irqrestore(&p->lock, flags);
	return len;
}

static void zol_flush_buffer(struct tty_struct *tty)
{
	struct zol_port *p = container_of(tty->port, struct zol_port, port);
	unsigned long flags;

	spin_lock_irqsave(&p->lock, flags);
	kfifo_reset(&p->to_dev);
	spin_unlock_irqrestore(&p->lock, flags);
	tty_wakeup(tty);
}

static void zol_set_termios(struct tty_struct *tty, const struct ktermios *old)
{
	struct zol_port *p = container_of(tty->port, struct zol_port, port);
	unsigned long flags;
	bool cts_on;

	spin_lock_irqsave(&p->lock, flags);
	p->termios = tty->termios;
	zol_event(p, ZOLVCOM_EV_TERMIOS);
	cts_on = !zol_cts_blocks(p, tty);
	spin_unlock_irqrestore(&p->lock, flags);
	/* Leaving CRTSCTS may free a writer that waited for CTS. */
	if (cts_on)
		tty_wakeup(tty);
}

static void zol_throttle(struct tty_struct *tty)
{
	struct zol_port *p = container_of(tty->port, struct zol_port, port);
	unsigned long flags;

	spin_lock_irqsave(&p->lock, flags);
	p->throttled = true;
	spin_unlock_irqrestore(&p->lock, flags);
}

static void zol_unthrottle(struct tty_struct *tty)
{
	struct zol_port *p = container_of(tty->port, struct zol_port, port);
	unsigned long flags;

	spin_lock_irqsave(&p->lock, flags);
	p->throttled = false;
	wake_up_interruptible(&p->wait);
	spin_unlock_irqrestore(&p->lock, flags);
}

static int zol_break_ctl(struct tty_struct *tty, int state)
{
	struct zol_port *p = container_of(tty->port, struct zol_port, port);
	unsigned long flags;

	spin_lock_irqsave(&p->lock, flags);
	if (state && !p->break_on) {
		p->breaks++;
		zol_event(p, ZOLVCOM_EV_BREAK);
	}
	p->break_on = state != 0;
	spin_unlock_irqrestore(&p->lock, flags);
	return 0;
}

static int zol_tiocmget(struct tty_struct *tty)
{
	struct zol_port *p = container_of(tty->port, struct zol_port, port);
	unsigned long flags;
	int lines;

	spin_lock_irqsave(&p->lock, flags);
	lines = p->mctrl & (TIOCM_DTR | TIOCM_RTS);
	if (p->dev_open)
		lines |= TIOCM_DSR | TIOCM_CD;
	if (p->dev_open && p->rcvrdy)
		lines |= TIOCM_CTS;
	spin_unlock_irqrestore(&p->lock, flags);
	return lines;
}

static int zol_tiocmset(struct tty_struct *tty, unsigned int set, unsigned int clear)
{
	struct zol_port *p = container_of(tty->port, struct zol_port, port);
	unsigned long flags;
	unsigned int was;

	spin_lock_irqsave(&p->lock, flags);
	was = p->mctrl;
	p->mctrl = ((p->mctrl | set) & ~clear) & (TIOCM_DTR | TIOCM_RTS);
	if (p->mctrl != was)
		zol_event(p, ZOLVCOM_EV_MCTRL);
	spin_unlock_irqrestore(&p->lock, flags);
	return 0;
}

static const struct tty_operations zol_tty_ops = {
	.install = zol_install,
	.cleanup = zol_cleanup,
	.open = zol_open,
	.close = zol_close,
	.hangup = zol_hangup,
	.write = zol_write,
	.write_room = zol_write_room,
	.chars_in_buffer = zol_chars_in_buffer,
	.flush_buffer = zol_flush_buffer,
	.set_termios = zol_set_termios,
	.throttle = zol_throttle,
	.unthrottle = zol_unthrottle,
	.break_ctl = zol_break_ctl,
	.tiocmget = zol_tiocmget,
	.tiocmset = zol_tiocmset,
};

/* COM side: port operations */

static int zol_activate(struct tty_port *port, struct tty_struct *tty)
{
	struct zol_port *p = container_of(port, struct zol_port, port);
	unsigned long flags;
	int ret = 0;

	spin_lock_irqsave(&p->lock, flags);
	if (p->removed) {
		ret = -ENODEV;
	} else {
		/* A quick reopen must not find what the last opening wrote. */
		kfifo_reset(&p->to_dev);
		p->app_open = true;
		p->throttled = false;
		p->termios = tty->termios;
		wake_up_interruptible(&p->wait);
	}
	spin_unlock_irqrestore(&p->lock, flags);
	return ret;
}

/* The last close (or a hang-up). The tty core flushes the receive side
 * after this; no device-side write can add to it once app_open is false.
 */
static void zol_shutdown(struct tty_port *port)
{
	struct zol_port *p = container_of(port, struct zol_port, port);
	unsigned long flags;

	spin_lock_irqsave(&p->lock, flags);
	p->app_open = false;
	p->throttled = false;
	p->break_on = false;
	/* A device side still reads what the closed opening wrote; without
	 * one, nobody will.
	 */
	if (!p->dev_open)
		kfifo_reset(&p->to_dev);
	wake_up_interruptible(&p->wait);
	spin_unlock_irqrestore(&p->lock, flags);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 4, 0)
static void zol_dtr_rts(struct tty_port *port, bool raise)
#else
static void zol_dtr_rts(struct tty_port *port, int raise)
#endif
{
	struct zol_port *p = container_of(port, struct zol_port, port);
	unsigned long flags;
	unsigned int was;

	spin_lock_irqsave(&p->lock, flags);
	was = p->mctrl;
	p->mctrl = raise ? TIOCM_DTR | TIOCM_RTS : 0;
	if (p->mctrl != was)
		zol_event(p, ZOLVCOM_EV_MCTRL);
	spin_unlock_irqrestore(&p->lock, flags);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 4, 0)
static bool zol_carrier_raised(struct tty_port *port)
#else
static int zol_carrier_raised(struct tty_port *port)
#endif
{
	struct zol_port *p = container_of(port, struct zol_port, port);
	unsigned long flags;
	bool on;

	spin_lock_irqsave(&p->lock, flags);
	on = p->dev_open;
	spin_unlock_irqrestore(&p->lock, flags);
	return on;
}

static void zol_destruct(struct tty_port *port)
{
	kfree(container_of(port, struct zol_port, port));
}

static const struct tty_port_operations zol_port_ops = {
	.activate = zol_activate,
	.shutdown = zol_shutdown,
	.dtr_rts = zol_dtr_rts,
	.carrier_raised = zol_carrier_raised,
	.destruct = zol_destruct,
};

/* Device side */

static int zol_dev_open(struct inode *inode, struct file *filp)
{
	unsigned int minor = iminor(inode);
	struct zol_port *p;
	unsigned long flags;
	bool busy;

	mutex_lock(&zol_table_lock);
	p = minor < ZOL_MINORS ? zol_table[minor] : NULL;
	if (p)
		tty_port_get(&p->port);
	mutex_unlock(&zol_table_lock);
	if (!p)
		return -ENODEV;

	spin_lock_irqsave(&p->lock, flags);
	busy = p->dev_open || p->removed;
	if (!busy) {
		p->dev_open = true;
		p->rcvrdy = false;
		p->events = 0;
		p->breaks = 0;
	}
	spin_unlock_irqrestore(&p->lock, flags);
	if (busy) {
		tty_port_put(&p->port);
		return -EBUSY;
	}
	filp->private_data = p;
	/* DSR and DCD rise: a blocking open waiting for carrier goes on. */
	wake_up_interruptible(&p->port.open_wait);
	return stream_open(inode, filp);
}

static int zol_dev_release(struct inode *inode, struct file *filp)
{
	struct zol_port *p = filp->private_data;
	unsigned long flags;

	spin_lock_irqsave(&p->lock, flags);
	p->dev_open = false;
	p->rcvrdy = false;
	if (!p->app_open)
		kfifo_reset(&p->to_dev);
	spin_unlock_irqrestore(&p->lock, flags);
	tty_port_tty_wakeup(&p->port);
	tty_port_put(&p->port);
	return 0;
}

/* Bytes to read, or why there are none: 0 to wait, or an error. */
static int zol_readable(struct zol_port *p)
{
	lockdep_assert_held(&p->lock);
	if (!kfifo_is_empty(&p->to_dev))
		return 1;
	if (p->removed)
		return -ENODEV;
	if (!p->app_open)
		return -EPIPE;
	return 0;
}

/* Sleeps until ready() under the port lock says other than 0 (wait). */
static int zol_wait(struct zol_port *p, int (*ready)(struct zol_port *p))
{
	unsigned long flags;

	return wait_event_interruptible(p->wait, ({
		int r;

		spin_lock_irqsave(&p->lock, flags);
		r = ready(p);
		spin_unlock_irqrestore(&p->lock, flags);
		r != 0; }));
}

static ssize_t zol_dev_read(struct file *filp, char __user *buf, size_t count, loff_t *ppos)
{
	struct zol_port *p = filp->private_data;
	unsigned long flags;
	unsigned int n;
	u8 *kbuf;
	int state;

	if (!count)
		return 0;
	count = min_t(size_t, count, ZOL_FIFO_SIZE);
	kbuf = kmalloc(count, GFP_KERNEL);
	if (!kbuf)
		return -ENOMEM;
	for (;;) {
		spin_lock_irqsave(&p->lock, flags);
		state = zol_readable(p);
		n = state > 0 ? kfifo_out(&p->to_dev, kbuf, count) : 0;
		spin_unlock_irqrestore(&p->lock, flags);
		if (state != 0)
			break;
		if (filp->f_flags & O_NONBLOCK) {
			state = -EAGAIN;
			break;
		}
		state = zol_wait(p, zol_readable);
		if (state)
			break;
	}
	if (state > 0) {
		tty_port_tty_wakeup(&p->port);
		state = copy_to_user(buf, kbuf, n) ? -EFAULT : n;
	}
	kfree(kbuf);
	return state;
}

/* Room for a device-side write, or why there is none: 0 to wait, or an error. */
static int zol_writable(struct zol_port *p)
{
	lockdep_assert_held(&p->lock);
	if (p->removed)
		return -ENODEV;
	if (!p->app_open)
		return -EPIPE;
	return zol_room(p) ? 1 : 0;
}

static ssize_t zol_dev_write(struct file *filp, const char __user *buf, size_t count, loff_t *ppos)
{
	struct zol_port *p = filp->private_data;
	unsigned long flags;
	u8 *kbuf;
	int state;

	if (!count)
		return 0;
	kbuf = memdup_user(buf, min_t(size_t, count, ZOL_FIFO_SIZE));
	if (IS_ERR(kbuf))
		return PTR_ERR(kbuf);
	count = min_t(size_t, count, ZOL_FIFO_SIZE);
	for (;;) {
		spin_lock_irqsave(&p->lock, flags);
		state = zol_writable(p);
		if (state > 0) {
			/* Under the lock: shutdown cannot flush between the
			 * check and the push.
			 */
			state = tty_insert_flip_string(&p->port, kbuf,
						       min_t(size_t, count,
							     tty_buffer_space_avail(&p->port)));
			if (state > 0)
				tty_flip_buffer_push(&p->port);
			else
				state = -ENOMEM;
		}
		spin_unlock_irqrestore(&p->lock, flags);
		if (state != 0)
			break;
		if (filp->f_flags & O_NONBLOCK) {
			state = -EAGAIN;
			break;
		}
		state = zol_wait(p, zol_writable);
		if (state)
			break;
	}
	kfree(kbuf);
	return state;
}

static __poll_t zol_dev_poll(struct file *filp, poll_table *wait)
{
	struct zol_port *p = filp->private_data;
	unsigned long flags;
	__poll_t mask = 0;

	poll_wait(filp, &p->wait, wait);
	spin_lock_irqsave(&p->lock, flags);
	if (!kfifo_is_empty(&p->to_dev))
		mask |= EPOLLIN | EPOLLRDNORM;
	if (p->removed)
		mask |= EPOLLERR | EPOLLHUP;
	else if (!p->app_open && kfifo_is_empty(&p->to_dev))
		mask |= EPOLLHUP;
	else if (p->app_open && zol_room(p))
		mask |= EPOLLOUT | EPOLLWRNORM;
	if (p->events)
		mask |= EPOLLPRI;
	spin_unlock_irqrestore(&p->lock, flags);
	return mask;
}

static long zol_dev_ioctl(struct file *filp, unsigned int cmd, unsigned long arg)
{
	struct zol_port *p = filp->private_data;
	void __user *argp = (void __user *)arg;
	struct zolvcom_info info = {};
	struct zolvcom_line line = {};
	unsigned long flags;
	bool wake = false;

	switch (cmd) {
	case ZOLVCOM_IOC_INFO:
		spin_lock_irqsave(&p->lock, flags);
		info.connected = p->app_open || !kfifo_is_empty(&p->to_dev);
		info.hold = zol_hold(p);
		spin_unlock_irqrestore(&p->lock, flags);
		return copy_to_user(argp, &info, sizeof(info)) ? -EFAULT : 0;
	case ZOLVCOM_IOC_SET_RCVRDY:
	case ZOLVCOM_IOC_CLR_RCVRDY:
		spin_lock_irqsave(&p->lock, flags);
		wake = cmd == ZOLVCOM_IOC_SET_RCVRDY && !p->rcvrdy;
		p->rcvrdy = cmd == ZOLVCOM_IOC_SET_RCVRDY;
		spin_unlock_irqrestore(&p->lock, flags);
		/* CTS rose: a writer with CRTSCTS goes on. */
		if (wake)
			tty_port_tty_wakeup(&p->port);
		return 0;
	case ZOLVCOM_IOC_LINE:
		spin_lock_irqsave(&p->lock, flags);
		line.mctrl = p->mctrl;
		line.events = p->events;
		line.breaks = p->breaks;
		line.break_on = p->break_on;
		line.iflag = p->termios.c_iflag;
		line.oflag = p->termios.c_oflag;
		line.cflag = p->termios.c_cflag;
		line.lflag = p->termios.c_lflag;
		line.ispeed = p->termios.c_ispeed;
		line.ospeed = p->termios.c_ospeed;
		p->events = 0;
		spin_unlock_irqrestore(&p->lock, flags);
		return copy_to_user(argp, &line, sizeof(line)) ? -EFAULT : 0;
	}
	return -ENOTTY;
}

static const struct file_operations zol_dev_fops = {
	.owner = THIS_MODULE,
	.open = zol_dev_open,
	.release = zol_dev_release,
	.read = zol_dev_read,
	.write = zol_dev_write,
	.poll = zol_dev_poll,
	.unlocked_ioctl = zol_dev_ioctl,
	.compat_ioctl = compat_ptr_ioctl,
	.llseek = no_llseek,
};

/* Ports and their class */

static struct class zol_class;

static int zol_add_port(unsigned int n)
{
	struct zol_port *p;
	struct device *dev;
	int ret;

	if (n < 1 || n > ZOL_MAX_PORT)
		return -EINVAL;
	p = kzalloc(sizeof(*p), GFP_KERNEL);
	if (!p)
		return -ENOMEM;
	p->n = n;
	spin_lock_init(&p->lock);
	INIT_KFIFO(p->to_dev);
	init_waitqueue_head(&p->wait);
	p->termios = zol_tty_driver->init_termios;
	tty_port_init(&p->port);
	p->port.ops = &zol_port_ops;
	/* Nobody may be reading: closing never waits for the device side. */
	p->port.closing_wait = ASYNC_CLOSING_WAIT_NONE;
	p->port.drain_delay = 0;

	mutex_lock(&zol_table_lock);
	if (zol_table[n]) {
		ret = -EEXIST;
		goto unlock;
	}
	dev = tty_port_register_device(&p->port, zol_tty_driver, n, &zol_parent->dev);
	if (IS_ERR(dev)) {
		ret = PTR_ERR(dev);
		goto unlock;
	}
	dev = device_create(&zol_class, &zol_parent->dev, MKDEV(MAJOR(zol_devt), n), NULL,
			    "ZOL_COM%u", n);
	if (IS_ERR(dev)) {
		ret = PTR_ERR(dev);
		tty_unregister_device(zol_tty_driver, n);
		goto unlock;
	}
	zol_table[n] = p;
	mutex_unlock(&zol_table_lock);
	return 0;
unlock:
	mutex_unlock(&zol_table_lock);
	tty_port_put(&p->port);
	return ret;
}

/* Refused while either side is open, unless the module is going (then
 * nothing can be open: each opening holds the module).
 */
static int zol_remove_port(unsigned int n, bool busy_ok)
{
	struct zol_port *p;
	unsigned long flags;
	bool busy;

	if (n < 1 || n > ZOL_MAX_PORT)
		return -EINVAL;
	mutex_lock(&zol_table_lock);
	p = zol_table[n];
	if (!p) {
		mutex_unlock(&zol_table_lock);
		return -ENODEV;
	}
	spin_lock_irqsave(&p->lock, flags);
	busy = p->app_open || p->dev_open;
	if (!busy || busy_ok)
		p->removed = true;
	spin_unlock_irqrestore(&p->lock, flags);
	if (busy && !busy_ok) {
		mutex_unlock(&zol_table_lock);
		return -EBUSY;
	}
	zol_table[n] = NULL;
	device_destroy(&zol_class, MKDEV(MAJOR(zol_devt), n));
	tty_unregister_device(zol_tty_driver, n);
	mutex_unlock(&zol_table_lock);

	wake_up_interruptible_all(&p->wait);
	tty_port_tty_hangup(&p->port, false);
	tty_port_put(&p->port);
	return 0;
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 4, 0)
#define ZOL_CLASS_CONST const
#else
#define ZOL_CLASS_CONST
#endif

static ssize_t zol_port_store(const char *buf, size_t count, bool add)
{
	unsigned int n;
	int ret = kstrtouint(buf, 10, &n);

	if (ret)
		return ret;
	ret = add ? zol_add_port(n) : zol_remove_port(n, false);
	return ret ? ret : count;
}

static ssize_t zol_add_store(ZOL_CLASS_CONST struct class *cls,
			     ZOL_CLASS_CONST struct class_attribute *attr,
			     const char *buf, size_t count)
{
	return zol_port_store(buf, count, true);
}

static ssize_t zol_remove_store(ZOL_CLASS_CONST struct class *cls,
				ZOL_CLASS_CONST struct class_attribute *attr,
				const char *buf, size_t count)
{
	return zol_port_store(buf, count, false);
}

static struct class_attribute class_attr_add = __ATTR(add, 0200, NULL, zol_add_store);
static struct class_attribute class_attr_remove = __ATTR(remove, 0200, NULL, zol_remove_store);

static struct attribute *zol_class_attrs[] = {
	&class_attr_add.attr,
	&class_attr_remove.attr,
	NULL,
};
ATTRIBUTE_GROUPS(zol_class);

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 2, 0)
static char *zol_devnode(const struct device *dev, umode_t *mode)
#else
static char *zol_devnode(struct device *dev, umode_t *mode)
#endif
{
	/* The port service's alone; udev may widen it to its group. */
	if (mode)
		*mode = 0600;
	return kasprintf(GFP_KERNEL, "zolvcom/%s", dev_name(dev));
}

static struct class zol_class = {
	.name = "zolvcom",
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 4, 0)
	.owner = THIS_MODULE,
#endif
	.class_groups = zol_class_groups,
	.devnode = zol_devnode,
};

static void zol_remove_all(void)
{
	unsigned int n;

	for (n = 1; n <= ZOL_MAX_PORT; n++)
		zol_remove_port(n, true);
}

static int __init zol_init(void)
{
	struct tty_driver *driver;
	int ret, i;

	zol_parent = platform_device_register_simple("zolvcom", PLATFORM_DEVID_NONE, NULL, 0);
	if (IS_ERR(zol_parent))
		return PTR_ERR(zol_parent);
	driver = tty_alloc_driver(ZOL_MINORS, TTY_DRIVER_REAL_RAW | TTY_DRIVER_DYNAMIC_DEV);
	if (IS_ERR(driver)) {
		ret = PTR_ERR(driver);
		goto unregister_parent;
	}
	driver->driver_name = "zolvcom";
	driver->name = "ttyZOL";
	driver->major = 0;
	driver->minor_start = 0;
	driver->type = TTY_DRIVER_TYPE_SERIAL;
	driver->subtype = SERIAL_TYPE_NORMAL;
	/* Raw and local, as the ports of the user-space fallback start. */
	driver->init_termios = tty_std_termios;
	driver->init_termios.c_iflag = 0;
	driver->init_termios.c_oflag = 0;
	driver->init_termios.c_lflag = 0;
	driver->init_termios.c_cflag = B9600 | CS8 | CREAD | HUPCL | CLOCAL;
	driver->init_termios.c_ispeed = 9600;
	driver->init_termios.c_ospeed = 9600;
	tty_set_operations(driver, &zol_tty_ops);
	ret = tty_register_driver(driver);
	if (ret)
		goto put_driver;
	zol_tty_driver = driver;

	ret = alloc_chrdev_region(&zol_devt, 0, ZOL_MINORS, "zolvcom");
	if (ret)
		goto unregister_driver;
	cdev_init(&zol_cdev, &zol_dev_fops);
	zol_cdev.owner = THIS_MODULE;
	ret = cdev_add(&zol_cdev, zol_devt, ZOL_MINORS);
	if (ret)
		goto unregister_region;
	ret = class_register(&zol_class);
	if (ret)
		goto del_cdev;

	for (i = 0; i < nports; i++) {
		ret = zol_add_port(ports[i]);
		if (ret) {
			pr_err("zolvcom: cannot add COM%u: %d\n", ports[i], ret);
			goto remove_ports;
		}
	}
	return 0;

remove_ports:
	zol_remove_all();
	class_unregister(&zol_class);
del_cdev:
	cdev_del(&zol_cdev);
unregister_region:
	unregister_chrdev_region(zol_devt, ZOL_MINORS);
unregister_driver:
	tty_unregister_driver(driver);
put_driver:
	tty_driver_kref_put(driver);
unregister_parent:
	platform_device_unregister(zol_parent);
	return ret;
}

static void __exit zol_exit(void)
{
	zol_remove_all();
	class_unregister(&zol_class);
	cdev_del(&zol_cdev);
	unregister_chrdev_region(zol_devt, ZOL_MINORS);
	tty_unregister_driver(zol_tty_driver);
	tty_driver_kref_put(zol_tty_driver);
	platform_device_unregister(zol_parent);
}

module_init(zol_init);
module_exit(zol_exit);

MODULE_DESCRIPTION("Virtual serial ports with a device side for the port service");
MODULE_LICENSE("GPL");
