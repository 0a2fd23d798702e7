/* plain-upload: the least a program can do to upload an encoded firmware file, as the yardstick
 * for fwload-cli's whole-process time. It reads the file as fwload does (hexadecimal numbers
 * separated by white space, through stdio), then for each block: purge the input, write the
 * block (16-bit big-endian length and payload), block in read() for the one-byte verdict;
 * 0x11 takes the next block, 0x00 ends the run, anything else sends the block again (at most
 * four sends). One thread, blocking calls, no settings.
 *   plain-upload PORT FILE.enc     exit status 0 on success, 1 on failure, 2 on usage */
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

enum { ImageMax = 262144, MaxSends = 4, ReplyTimeoutMs = 5000 };

static int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

static int IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* The bytes of the file, or -1 when it is unreadable or too big. */
static long ReadImage(const char* name, unsigned char* image) {
  FILE* f = fopen(name, "rb");
  if (!f) return -1;
  long count = 0;
  int c = getc_unlocked(f);
  for (;;) {
    while (IsSpace(c))
      c = getc_unlocked(f);
    int high = HexValue(c);
    if (high < 0) break;
    if (count >= ImageMax) {
      fclose(f);
      return -1;
    }
    c = getc_unlocked(f);
    int low = HexValue(c);
    int value = high;
    if (low >= 0) {
      value = high * 16 + low;
      c = getc_unlocked(f);
    }
    image[count++] = (unsigned char)value;
  }
  fclose(f);
  return count;
}

static int WriteAll(int fd, const unsigned char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) return 0;
    p += w;
    n -= (size_t)w;
  }
  return 1;
}

/* The verdict byte, or -1 after the time-out or on an error. */
static int ReadVerdict(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, ReplyTimeoutMs) != 1) return -1;
  unsigned char c;
  return read(fd, &c, 1) == 1 ? c : -1;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fputs("usage: plain-upload PORT FILE.enc\n", stderr);
    return 2;
  }
  static unsigned char image[ImageMax];
  long count = ReadImage(argv[2], image);
  if (count < 0) {
    fprintf(stderr, "plain-upload: cannot read %s\n", argv[2]);
    return 1;
  }
  int fd = open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    perror(argv[1]);
    return 1;
  }
  struct termios t;
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
  }
  long position = 0;
  int sends = 0;
  while (position < count) {
    if (count - position < 2) break;
    long size = (image[position] << 8 | image[position + 1]) + 2;
    if (size > count - position) break;
    tcflush(fd, TCIOFLUSH);
    int verdict = WriteAll(fd, image + position, (size_t)size) ? ReadVerdict(fd) : -1;
    if (verdict == 0x11) {
      position += size;
      sends = 0;
    } else if (verdict < 0 || verdict == 0x00 || ++sends >= MaxSends) {
      fprintf(stderr, "plain-upload: block at %ld: %s\n", position,
              verdict < 0 ? "no answer" : verdict == 0 ? "refused" : "rejected");
      close(fd);
      return 1;
    }
  }
  close(fd);
  if (position != count) {
    fprintf(stderr, "plain-upload: %s is malformed at %ld\n", argv[2], position);
    return 1;
  }
  return 0;
}
