/*
 * korvic_api: device access library for the korvic PCI time-code and timing board.
 *
 * The library attaches the process to one board (init_847), moves whole registers and
 * single bit fields through the 512-byte register window, and converts the board's BCD
 * times to and from four caller-side representations (the time modes below).
 *
 * State is process-wide: the globals below are set by init_847 and read by every other
 * call. One thread only; nothing here is reentrant. Every register access is one aligned
 * 32-bit load or store, in the order documented for each function.
 *
 * Board lock: the calls whose accesses belong together (a snapshot strobe and its loads,
 * the position-freeze strobe and its loads, a preset and its load bit, the compare words,
 * a bit field's read-modify-write, a multi-word register) hold an advisory lock on the
 * register device that init_847 opened, shared with every program on the host that uses
 * the board (korvic::Board included), so that no other program's accesses come between
 * them. It is no bus access: the accesses documented below are unchanged. A call waits
 * for it up to 100 ms; after that it says so once on standard error ("lock mempath: ...")
 * and runs without it. A window that base_addr points at by hand is never locked. A child
 * after fork() shares its parent's lock: call init_847 again in the child.
 *
 * Results: 0 for success; -1 for a refused time mode and for a failed init_847; 15 for a
 * bit-field selector out of range.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef KORVIC_API_H
#define KORVIC_API_H

#include <stdint.h>

/* Version of the library: the release that this header belongs to. */
#define KORVIC_API_VERSION_MAJOR 0
#define KORVIC_API_VERSION_MINOR 1
#define KORVIC_API_VERSION_PATCH 0
/** The version as one number, MAJOR * 10000 + MINOR * 100 + PATCH, for #if tests. */
#define KORVIC_API_VERSION \
    (KORVIC_API_VERSION_MAJOR * 10000 + KORVIC_API_VERSION_MINOR * 100 + KORVIC_API_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------------------
 * Time modes: the first argument of every time function selects the caller's object.
 * ------------------------------------------------------------------------------------- */

/** Raw register words after byte_swap: 3 words (2 for the time compare register). */
#define KORVIC_MODE_RAW 0u
/** struct korvic_timespec: seconds and nanoseconds. */
#define KORVIC_MODE_TIMESPEC 1u
/** One uint64_t: microseconds, counting every year since 1970 as 365 days. */
#define KORVIC_MODE_MICROSECONDS 2u
/** struct korvic_broken_down: seven integers, years as the full year (e.g. 2026). */
#define KORVIC_MODE_BROKEN_DOWN 3u

/** Time mode 1 object. */
struct korvic_timespec {
    int32_t seconds;
    int32_t nanoseconds;
};

/** Time mode 3 object, in the order the board's digits are passed: finest field first. */
struct korvic_broken_down {
    int32_t microseconds; /* 0..999 */
    int32_t milliseconds; /* 0..999 */
    int32_t seconds;      /* 0..59 */
    int32_t minutes;      /* 0..59 */
    int32_t hours;        /* 0..23 */
    int32_t days;         /* day of year as the board holds it, up to three digits */
    int32_t years;        /* full year number */
};

/* ---------------------------------------------------------------------------------------
 * Process-wide state, set by init_847.
 * ------------------------------------------------------------------------------------- */

/** First word of the mapped 512-byte register window; null until init_847 succeeds. */
extern volatile uint32_t *base_addr;
/** The same address as base_addr, as bytes. */
extern volatile uint8_t *kv_mem;
/** Descriptor of the open register device; 0 at start, -1 after a failed or refused open. */
extern int fd;
/** Register device path ("MEM_PATH=" of korvic_cfg.dat). */
extern char mem_path[256];
/** Bridge device path ("INT_PATH="). */
extern char int_path[256];
/** Offset in days ("DAY_OFF="), applied by some time conversions. */
extern int32_t g_day_offset;
/** Offset in hours ("TZ_OFF="), applied by some time conversions. */
extern int32_t g_tz_offset;
/** Offset in seconds ("SEC_OFF="); set to 0 at every init_847. */
extern int32_t g_time_offset;
/** Non-zero ("BYTE_SWAP=") makes byte_swap reverse the bytes of every register word. */
extern int32_t g_byte_swap;
/** Scratch values of the microsecond-count writers; hold the last intermediate values. */
extern uint64_t remaining_micro;
extern uint64_t temp_val;

/* ---------------------------------------------------------------------------------------
 * Attachment.
 * ------------------------------------------------------------------------------------- */

/**
 * Reads korvic_cfg.dat from the working directory, sets the globals, runs each
 * "ENABLE_INT" line in file order (ORs 0x49 into the bridge word at 0x4C), then opens
 * mem_path (O_RDWR) and maps its first 512 bytes. Returns 0 when attached, -1 when the file,
 * the device or the mapping fails (reported on stderr after "fopen config file", "open
 * mempath" or "memmap mempath"). Refused with nothing set: a directory, device or socket as
 * korvic_cfg.dat, a file longer than 64 KiB, and a pipe or FIFO whose writer does not
 * deliver all of it within 1 s. Refused before mapping, with fd -1: a register device that
 * cannot be a board (only a character device, a sysfs PCI resource file, or a file in
 * memory of exactly 512 bytes can), and one that would become descriptor 0, 1 or 2 (a
 * standard stream is closed; an interrupt node is no board either). A sysfs resource file
 * is mapped from the page that holds its region, and the window is where the region starts
 * in it (the device's `resource` file says). Ends the process with status -1 (255) when
 * "ENABLE_INT" cannot open, accept (the same rules, 128 bytes) or map the bridge device. A
 * repeated successful call releases the descriptor and the window of the earlier one.
 * "ENABLE_INT" is one load and one store of INTCSR, made before the register device is
 * open and so outside the board lock: where the interrupt driver korvic_uio is bound, its
 * handler may mask an input in between, which the store then enables again: at worst one
 * more wake-up of a waiter on the node. "UIO_PATH=" lines are korvic::Board's and ignored.
 */
int init_847(void);

/**
 * Closes the register device descriptor in fd, if init_847 opened it and it is still open
 * (never standard input before a successful init_847, never twice). The window stays
 * mapped; no bus access. Async-signal-safe.
 */
void close_847(void);

/* ---------------------------------------------------------------------------------------
 * Byte order and whole registers. Each returns 0 and never fails; the window must be
 * mapped. "Swapped" words pass through byte_swap between the bus and the caller.
 * ------------------------------------------------------------------------------------- */

/** Returns w with its four bytes reversed when g_byte_swap is non-zero, else w. No bus. */
uint32_t byte_swap(uint32_t w);

/** Loads the diagnostic register (0x11C), swapped, into *w. One read. */
int read_diag_reg(uint32_t *w);
/** Stores *w, swapped, into the hardware control register (0xF8). One write. */
int write_hw_ctl_reg(const uint32_t *w);
/** Loads the configuration register (0x118), swapped, into *w. One read. */
int read_conf_reg(uint32_t *w);
/** Stores *w, swapped, into the configuration register (0x118). One write. */
int write_conf_reg(const uint32_t *w);
/** Loads the local offset register (0x120), swapped, into *w. One read. */
int read_local_offset_reg(uint32_t *w);
/** Stores *w, swapped, into the local offset register (0x120). One write. */
int write_local_offset_reg(const uint32_t *w);
/** Loads the sync offset register (0x124), swapped, into *w. One read. */
int read_sync_offset_reg(uint32_t *w);
/** Stores *w, swapped, into the sync offset register (0x124). One write. */
int write_sync_offset_reg(const uint32_t *w);

/** Reads the four preset position words (0x164..0x170), each swapped, into w[0..3]. */
int read_preset_position_reg(uint32_t w[4]);
/** Writes w[0..3] to the preset position words (0x164..0x170) unconverted, without swap. */
int write_preset_position_reg(const uint32_t w[4]);
/** Reads the seven signal level words (0x198..0x1B0), each swapped, into w[0..6]. */
int read_signal_level_reg(uint32_t w[7]);
/**
 * Position freeze: writes 255 three times to 0xFC (unconverted), then reads the four
 * position freeze words (0x108..0x114), each swapped, into w[0..3].
 */
int read_position_freeze_reg(uint32_t w[4]);

/** Does nothing on the bus: interrupts are switched on by "ENABLE_INT" in korvic_cfg.dat. */
int enable_device_interrupts(void);
/**
 * Snapshot strobe only: writes 0xFFFFFFFF three times to 0xFC, so the board latches its
 * current time into the time-and-status words (0xFC..0x104) for a later raw read.
 */
int freeze_time(void);

/* ---------------------------------------------------------------------------------------
 * Bit fields. One load of the register first, whatever the selector; the writers store
 * the whole word back once, every other bit as loaded.
 * ------------------------------------------------------------------------------------- */

/* Selectors with a meaning of their own on the board. */
/** write_hw_ctl_reg_bitfield: hardware control bit 25; writing 1 clears the compare event flag. */
#define KORVIC_HW_CTL_COMPARE_CLEAR 1
/** Configuration bit 27, the timer stop bit: 1 stops the board's timer, 0 lets it run. */
#define KORVIC_CONF_TIMER_STOP 4
/** Configuration bit 26, the preset load bit: 1 makes the board take the preset time. */
#define KORVIC_CONF_PRESET_LOAD 5
/** read_hw_stat_reg_bitfield: hardware status bit 9, the time-compare event flag. */
#define KORVIC_HW_STAT_COMPARE_EVENT 3

/**
 * Sets hardware control bit 24+sel (sel 0..5) to value & 1 by read-modify-write of 0xF8.
 * Returns 0, or 15 for sel out of range (then nothing is stored).
 */
int32_t write_hw_ctl_reg_bitfield(int32_t sel, int32_t value);
/**
 * Reads configuration field sel from 0x118: sel 0..8 is bit 31-sel, sel 9 bits 19-16,
 * sel 10 bits 7-4. Returns the field value, or 15 for sel out of range.
 */
int32_t read_conf_reg_bitfield(int32_t sel);
/**
 * Writes configuration field sel (as read_conf_reg_bitfield) by read-modify-write of
 * 0x118, taking value & 1 or value & 15. Returns 0, or 15 for sel out of range (then
 * nothing is stored).
 */
int32_t write_conf_reg_bitfield(int32_t sel, uint8_t value);
/**
 * Reads hardware status bit sel from 0xFC, no strobe: sel 0..4 is bit 13, 12, 10, 9, 8
 * (9: time-compare event flag). Returns 0 or 1, or 15 for sel out of range.
 */
int32_t read_hw_stat_reg_bitfield(int32_t sel);

/* ---------------------------------------------------------------------------------------
 * Reading times. time points at the object of the mode. A mode above 3 returns -1 after
 * the bus accesses below, leaving *time untouched.
 * ------------------------------------------------------------------------------------- */

/**
 * Current time: snapshot strobe (0xFFFFFFFF three times to 0xFC), then reads 0xFC, 0x100,
 * 0x104; mode 0 reads the three words a second time and returns that reading.
 */
int32_t snapshot_time(uint32_t mode, void *time);
/** External event time: reads 0x174, 0x178, 0x17C (twice in mode 0). */
int32_t read_external_event_reg(uint32_t mode, void *time);
/** Preset time register: reads 0x158, 0x15C, 0x160 (twice in mode 0); no microseconds. */
int32_t read_preset_time_reg(uint32_t mode, void *time);
/**
 * Time compare register: reads 0x138, 0x13C (twice in mode 0); stores the compare mask
 * (0..15) into *mask in every mode, a refused one included. The time has no year.
 */
int32_t read_time_cmp_reg(uint32_t mode, int32_t *mask, void *time);

/* ---------------------------------------------------------------------------------------
 * Writing times. A mode above 3 returns -1 with no bus access. *time is never changed.
 * ------------------------------------------------------------------------------------- */

/**
 * Writes the three preset words (0x158, 0x15C, 0x160, swapped), then sets the preset load
 * bit (configuration bit 26) by read-modify-write of 0x118. Returns 0 or -1.
 */
int32_t write_preset_time_reg(uint32_t mode, void *time);
/** Same as write_preset_time_reg, and returns its result. */
int32_t set_new_time(uint32_t mode, void *time);
/** Writes 0 to 0x158, 0x15C, 0x160, then sets the preset load bit. Returns 0. */
int32_t reset_time(void);
/**
 * Writes the compare time and the low four bits of mask to 0x138, 0x13C (swapped). Mode 0
 * writes the caller's two words as they are and ignores mask. Returns 0 or -1.
 */
int32_t write_time_cmp_reg(uint32_t mode, int32_t mask, void *time);

#ifdef __cplusplus
}
#endif

#endif /* KORVIC_API_H */
