/* Writes N random bytes from a module to standard output.
 *
 *   read_random N [SELECTOR] [raw]
 *
 * Build: cc read_random.c $(pkg-config --cflags --libs rngacq) -o read_random
 * Try it without hardware: link with rngacq-sim instead and set RNGACQ_SIM (e.g. "seed=7"). */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <rngacq/rngacq.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char **argv) {
  static unsigned char buffer[1 << 16];
  rngacq_module *module = NULL;
  unsigned long long remaining;
  char *end = NULL;
  int error;

  if (argc < 2 || argc > 4) {
    fprintf(stderr, "usage: %s N [SELECTOR] [raw]\n", argv[0]);
    return 2;
  }
  errno = 0;
  remaining = strtoull(argv[1], &end, 10);
  if (errno != 0 || *end != '\0' || argv[1][0] == '-') {
    fprintf(stderr, "%s: not a byte count: %s\n", argv[0], argv[1]);
    return 2;
  }
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif

  error = rngacq_open(argc > 2 ? argv[2] : NULL, &module);
  if (error == 0 && argc > 3 && strcmp(argv[3], "raw") == 0) error = rngacq_set_mode(module, RNGACQ_MODE_RAW);
  while (error == 0 && remaining > 0) {
    size_t want = remaining < sizeof buffer ? (size_t)remaining : sizeof buffer;
    size_t done = 0;
    error = rngacq_read(module, buffer, want, &done);
    if (fwrite(buffer, 1, done, stdout) != done) {
      perror("write");
      rngacq_close(module);
      return 1;
    }
    remaining -= done;
  }
  if (error != 0) fprintf(stderr, "%s: %s\n", argv[0], rngacq_strerror(error));
  if (rngacq_close(module) != 0 && error == 0) error = RNGACQ_ERROR_RELEASE_FAILED;
  return error == 0 && fflush(stdout) == 0 ? 0 : 1;
}
