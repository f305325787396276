/* The back channel of the fake module driver: the requests its control device takes and the
 * byte layout of their records. Shared by the driver (C, kernel mode) and the tests that steer
 * it (C++). Every multi-byte field is little-endian at the stated offset; neither side relies on
 * a struct's layout. */
#ifndef RNGACQ_FAKE_CONTROL_H
#define RNGACQ_FAKE_CONTROL_H

/* The control device as a Win32 program opens it. */
#define FAKE_CONTROL_PATH "\\\\.\\RngacqFakeControl"

/* Device type 0x22, any access, buffered; functions from 0x800 on are the driver's own. */
#define FAKE_IOCTL_CONFIGURE 0x00222000u /* input: a configuration record; no output */
#define FAKE_IOCTL_QUERY 0x00222004u     /* no input; output: a state record */

/* The modules the fake can show, each with a fixed identity so that its device path is known:
 * slot 0: 1209:0001 serial FAKE0001; slot 1: 1209:0001 serial FAKE0002; slot 2: 1209:0002
 * serial FAKE0003. */
#define FAKE_SLOTS 3
#define FAKE_MAGIC 0x314B4652u /* "RFK1" */

/* Configuration record: magic (u32 @0), then FAKE_SLOTS slot records of FAKE_SLOT_SIZE bytes
 * from offset 8. Applying it resets every module to the start of its stream. */
#define FAKE_CONFIG_SIZE (8 + FAKE_SLOTS * FAKE_SLOT_SIZE)
#define FAKE_SLOT_SIZE 32
#define FAKE_SLOT_PLUGGED 0            /* u8: 1 = the module is attached */
#define FAKE_SLOT_HIGH_SPEED 1         /* u8: 1 = high speed (bus speed code 2), 0 = full speed */
#define FAKE_SLOT_STATUS_NIBBLE 2      /* u8: low nibble of the mode answer, 0xFF = the mode asked */
#define FAKE_SLOT_END_NIBBLE 3         /* u8: low nibble of the end answer, 0xFF = 0xD */
#define FAKE_SLOT_DRIVER_VERSION 4     /* u32: answer to the version request */
#define FAKE_SLOT_SHORT_ANSWER 8       /* u32: bytes dropped from every command's answer */
#define FAKE_SLOT_SHORT_SEND 12        /* u32: bytes fewer reported for every command sent */
#define FAKE_SLOT_UNPLUG_AFTER 16      /* u32: commands answered before the module is pulled; 0 = never */
#define FAKE_SLOT_SILENT 20            /* u8: 1 = transfers are held until aborted */
#define FAKE_SLOT_ABORT_INEFFECTIVE 21 /* u8: 1 = an abort is accepted but ends nothing */
#define FAKE_SLOT_SEED 24              /* u64: seed of the module's data stream */

/* State record: magic (u32 @0), then FAKE_SLOTS records of FAKE_STATE_SIZE bytes from offset 8. */
#define FAKE_STATE_RECORD_SIZE (8 + FAKE_SLOTS * FAKE_STATE_SIZE)
#define FAKE_STATE_SIZE 20
#define FAKE_STATE_STARTED 0  /* u8: the system started the module's device; its interface exists */
#define FAKE_STATE_REMOVED 1  /* u8: pulled by the unplug fault */
#define FAKE_STATE_ANSWERED 4 /* u32: commands answered since the last configuration */
#define FAKE_STATE_OPEN 8     /* u32: handles open on the module */
#define FAKE_STATE_QUEUED 12  /* u32: transfers held by the driver */
#define FAKE_STATE_ABORTS 16  /* u32: pipe aborts asked for since the last configuration */

#endif
