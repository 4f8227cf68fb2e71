/* SPDX-License-Identifier: GPL-2.0 WITH Linux-syscall-note */
/*
 * The device side of zolvcom: what the port service and user-space tools
 * include to talk to /dev/zolvcom/ZOL_COM<n>.
 */
#ifndef ZOLVCOM_IOCTL_H
#define ZOLVCOM_IOCTL_H

#include <linux/ioctl.h>
#include <linux/types.h>

/* The folder of the device sides and the class that lists them. */
#define ZOLVCOM_DEV_DIR "/dev/zolvcom"
#define ZOLVCOM_CLASS_DIR "/sys/class/zolvcom"

/* The state of the COM side: connected while an application has it open
 * (or its last opening left bytes the device side has not read yet), hold
 * while its receive buffer takes nothing more.
 */
struct zolvcom_info {
	__u32 connected;
	__u32 hold;
	__u32 reserved;
};

/* What the application did to the line since the device side last asked. */
#define ZOLVCOM_EV_MCTRL	0x1	/* DTR or RTS changed */
#define ZOLVCOM_EV_TERMIOS	0x2	/* termios changed */
#define ZOLVCOM_EV_BREAK	0x4	/* a break started */

/* The application's side of the line, read by the device side; reading it
 * clears events (pending events show as EPOLLPRI).
 */
struct zolvcom_line {
	__u32 mctrl;		/* TIOCM_DTR and TIOCM_RTS as the application set them */
	__u32 events;		/* ZOLVCOM_EV_* since the last read */
	__u32 breaks;		/* breaks started since the device side opened */
	__u32 break_on;		/* a break is being sent now */
	__u32 iflag, oflag, cflag, lflag;
	__u32 ispeed, ospeed;
};

#define ZOLVCOM_IOC_INFO	_IOR('Z', 0x01, struct zolvcom_info)
#define ZOLVCOM_IOC_SET_RCVRDY	_IO('Z', 0x02)
#define ZOLVCOM_IOC_CLR_RCVRDY	_IO('Z', 0x03)
#define ZOLVCOM_IOC_LINE	_IOR('Z', 0x04, struct zolvcom_line)

#endif /* ZOLVCOM_IOCTL_H */
