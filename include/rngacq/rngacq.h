/* rngacq: random data from hardware random-number modules on USB.
 *
 * One rngacq_module object per opened module. Several modules may be open at once in one
 * process; each module object must be used by one thread at a time (different modules may be
 * used from different threads concurrently). Every call blocks until it is done; a read waits
 * at most the module's time-outs (9 s per transfer, 2 s more after an abort).
 *
 * Every function returns 0 on success or a negative RNGACQ_ERROR_... value; rngacq_strerror
 * gives its text. The library never prints, never reads the keyboard and needs no files.
 *
 * librngacq talks to real modules (libusb-1.0, or the vendor driver on Windows); librngacq-sim
 * has the same API over simulated modules configured through the RNGACQ_SIM environment
 * variable, so a program can be tested without hardware by linking the other library. */
#ifndef RNGACQ_RNGACQ_H
#define RNGACQ_RNGACQ_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && defined(RNGACQ_SHARED_BUILD)
#define RNGACQ_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(RNGACQ_STATIC)
#define RNGACQ_API __declspec(dllimport)
#elif defined(__GNUC__)
#define RNGACQ_API __attribute__((visibility("default")))
#else
#define RNGACQ_API
#endif

typedef struct rngacq_module rngacq_module;

typedef struct {
  uint16_t vendor_id, product_id;
  int high_speed; /* 1: USB 2.0 high speed; 0: full speed */
  /* UTF-8, always ended; a longer text is cut at a whole character. */
  char serial[128], product[128], driver_version[32];
} rngacq_module_info;

/* Generator modes: post-processed in the module, or raw. */
enum { RNGACQ_MODE_RND = 7, RNGACQ_MODE_RAW = 3 };

enum {
  RNGACQ_OK = 0,
  RNGACQ_ERROR_NO_MODULE = -1,       /* no module attached (or none passes the selection) */
  RNGACQ_ERROR_SEVERAL_MODULES = -2, /* more than one attached and no selector picks one */
  RNGACQ_ERROR_NO_MATCH = -3,        /* modules attached, none matches the selector */
  RNGACQ_ERROR_ACCESS_DENIED = -4,   /* the device node may not be opened by this user */
  RNGACQ_ERROR_OPEN_FAILED = -5,     /* the module could not be opened for another reason */
  RNGACQ_ERROR_NO_ENDPOINTS = -6,    /* the module lacks its bulk IN or bulk OUT endpoint */
  RNGACQ_ERROR_TIMEOUT = -7,         /* a transfer did not end within its time-out */
  RNGACQ_ERROR_SHORT_TRANSFER = -8,  /* the module took or gave fewer bytes than asked */
  RNGACQ_ERROR_WRONG_STATUS = -9,    /* the module's answer carried the wrong status */
  RNGACQ_ERROR_MODULE_GONE = -10,    /* the module stopped answering (unplugged) */
  RNGACQ_ERROR_UNUSABLE = -11,       /* a lost transfer still holds the module's buffers */
  RNGACQ_ERROR_INVALID_ARGUMENT = -12,
  RNGACQ_ERROR_NO_MEMORY = -13,
  RNGACQ_ERROR_RELEASE_FAILED = -14, /* the system refused to release the module */
  RNGACQ_ERROR_INTERNAL = -15        /* an unexpected fault inside the library */
};

/* Fills at most `capacity` entries (in the order index= counts) and sets *count to the number of
 * modules attached. `infos` may be NULL when `capacity` is 0. */
RNGACQ_API int rngacq_list(rngacq_module_info *infos, size_t capacity, size_t *count);

/* Opens one module. `selector`: NULL or "" (exactly one module must be attached),
 * "serial=TEXT", "id=vvvv:pppp" (hexadecimal USB vendor and product ID; also IDs the library
 * does not know as modules), or "index=N" (position in rngacq_list's order, from 0). */
RNGACQ_API int rngacq_open(const char *selector, rngacq_module **module);

RNGACQ_API int rngacq_info(const rngacq_module *module, rngacq_module_info *info);

/* RNGACQ_MODE_RND (the default after opening) or RNGACQ_MODE_RAW. */
RNGACQ_API int rngacq_set_mode(rngacq_module *module, int mode);

/* Delivers `length` bytes in the current mode: whole 1984-byte blocks, then the remainder as the
 * last block, as the rngacq program requests a record of that length. *done receives the bytes
 * delivered, also when an error ends the read. */
RNGACQ_API int rngacq_read(rngacq_module *module, void *buffer, size_t length, size_t *done);

/* Releases the module and frees the object (also when releasing fails). NULL is accepted. */
RNGACQ_API int rngacq_close(rngacq_module *module);

RNGACQ_API const char *rngacq_strerror(int error);

/* The library's version, "MAJOR.MINOR.PATCH". */
RNGACQ_API const char *rngacq_version(void);

#ifdef __cplusplus
}
#endif

#endif /* RNGACQ_RNGACQ_H */
