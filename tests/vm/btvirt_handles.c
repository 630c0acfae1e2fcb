// Preloaded into btvirt (BlueZ 5.66) in the test's virtual machine.
//
// btvirt's emulated controllers give each end of a link the lowest free
// connection handle of that end, but forward ACL data with the sender's
// handle unchanged. With one link at a time both ends agree; once a radio
// holds links to several devices (four clients on one server), data arrives
// under a handle the receiver does not know, or under another link's handle.
//
// This shim watches what btvirt writes to each /dev/vhci descriptor (the
// controller's address from the Read BD_ADDR answer, the handle of each
// link from Connection Complete) and, when btvirt forwards ACL data read
// from one controller to another, puts the receiver's own handle for that
// link into the packet header.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

enum { MaxFds = 256, MaxLinks = 16 };

struct link {
  uint8_t peer[6];
  uint16_t handle;
  int used;
};

struct controller {
  int isVhci;
  int addressKnown;
  uint8_t address[6];
  struct link links[MaxLinks];
};

static struct controller controllers[MaxFds];
// The controller whose ACL packet btvirt read last; btvirt forwards it at
// once, in the same turn of its single-threaded loop.
static int lastAclReader = -1;

static int Tracked(int fd) {
  return fd >= 0 && fd < MaxFds && controllers[fd].isVhci;
}

int open(const char* path, int flags, ...) {
  static int (*real)(const char*, int, ...);
  if (!real) real = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  const int fd = real(path, flags, mode);
  if (fd >= 0 && fd < MaxFds) {
    memset(&controllers[fd], 0, sizeof controllers[fd]);
    controllers[fd].isVhci = strcmp(path, "/dev/vhci") == 0;
  }
  return fd;
}

ssize_t read(int fd, void* buffer, size_t size) {
  static ssize_t (*real)(int, void*, size_t);
  if (!real) real = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  const ssize_t got = real(fd, buffer, size);
  if (got > 0 && Tracked(fd) && ((const uint8_t*)buffer)[0] == 0x02) lastAclReader = fd;
  return got;
}

static void Remember(struct controller* c, const uint8_t peer[6], uint16_t handle) {
  struct link* free_slot = NULL;
  for (int i = 0; i < MaxLinks; ++i) {
    struct link* each = &c->links[i];
    if (each->used && memcmp(each->peer, peer, 6) == 0) {
      each->handle = handle;
      return;
    }
    if (!each->used && !free_slot) free_slot = each;
  }
  if (!free_slot) return;
  memcpy(free_slot->peer, peer, 6);
  free_slot->handle = handle;
  free_slot->used = 1;
}

static int HandleFor(const struct controller* c, const uint8_t peer[6], uint16_t* handle) {
  for (int i = 0; i < MaxLinks; ++i) {
    if (c->links[i].used && memcmp(c->links[i].peer, peer, 6) == 0) {
      *handle = c->links[i].handle;
      return 1;
    }
  }
  return 0;
}

// Learns from an event written to the host of controller fd.
static void WatchEvent(int fd, const uint8_t* p, size_t n) {
  struct controller* c = &controllers[fd];
  if (n >= 13 && p[1] == 0x0E && p[4] == 0x09 && p[5] == 0x10 && p[6] == 0) {
    memcpy(c->address, p + 7, 6);  // Command Complete, Read BD_ADDR
    c->addressKnown = 1;
  } else if (n >= 14 && p[1] == 0x03 && p[3] == 0 && p[12] == 0x01) {
    Remember(c, p + 6, (uint16_t)(p[4] | (p[5] << 8)) & 0x0FFF);  // ACL Connection Complete
  }
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  static ssize_t (*real)(int, const struct iovec*, int);
  if (!real) real = (ssize_t(*)(int, const struct iovec*, int))dlsym(RTLD_NEXT, "writev");
  if (!Tracked(fd) || count < 1 || iov[0].iov_len < 1) return real(fd, iov, count);

  uint8_t flat[64];
  size_t n = 0;
  for (int i = 0; i < count && n < sizeof flat; ++i) {
    size_t part = iov[i].iov_len;
    if (part > sizeof flat - n) part = sizeof flat - n;
    memcpy(flat + n, iov[i].iov_base, part);
    n += part;
  }
  if (flat[0] == 0x04) {
    WatchEvent(fd, flat, n);
    return real(fd, iov, count);
  }
  // ACL data laid out by btvirt as: type, 4-byte header, payload.
  if (flat[0] != 0x02 || count != 3 || iov[1].iov_len != 4 || !Tracked(lastAclReader) ||
      !controllers[lastAclReader].addressKnown) {
    return real(fd, iov, count);
  }
  uint16_t own;
  if (!HandleFor(&controllers[fd], controllers[lastAclReader].address, &own)) {
    return real(fd, iov, count);
  }
  uint8_t header[4];
  memcpy(header, iov[1].iov_base, 4);
  const uint16_t packed = (uint16_t)(header[0] | (header[1] << 8));
  const uint16_t fixed = (uint16_t)((packed & 0xF000) | own);
  header[0] = (uint8_t)(fixed & 0xFF);
  header[1] = (uint8_t)(fixed >> 8);
  struct iovec copy[3] = {iov[0], {header, 4}, iov[2]};
  return real(fd, copy, 3);
}
