#define _GNU_SOURCE /* posix_openpt, ptsname, cfmakeraw */
#include "pty_link.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

int PtyOpen(PtyLink* link) {
  struct termios settings;
  const char* name;
  link->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  link->slave = -1;
  if (link->master < 0) return errno;
  if (grantpt(link->master) != 0 || unlockpt(link->master) != 0 || (name = ptsname(link->master)) == NULL) goto fail;
  snprintf(link->path, sizeof link->path, "%s", name);
  link->slave = open(link->path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (link->slave < 0 || tcgetattr(link->slave, &settings) != 0) goto fail;
  /* A fresh terminal echoes and edits lines; a serial line does neither. */
  cfmakeraw(&settings);
  cfsetispeed(&settings, B115200);
  cfsetospeed(&settings, B115200);
  settings.c_cflag |= CLOCAL | CREAD;
  if (tcsetattr(link->slave, TCSANOW, &settings) != 0) goto fail;
  return 0;
fail : {
  const int error = errno ? errno : EIO;
  PtyClose(link);
  return error;
}
}

long PtyRead(PtyLink* link, void* buffer, size_t size) {
  const ssize_t n = read(link->master, buffer, size);
  if (n >= 0) return (long)n;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

long PtyWrite(PtyLink* link, const void* buffer, size_t size) {
  const ssize_t n = write(link->master, buffer, size);
  if (n >= 0) return (long)n;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

static unsigned long Rate(speed_t speed) {
  static const struct {
    speed_t code;
    unsigned long rate;
  } rates[] = {{B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
               {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
               {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
               {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B500000, 500000},
               {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}};
  size_t i;
  for (i = 0; i < sizeof rates / sizeof rates[0]; ++i)
    if (rates[i].code == speed) return rates[i].rate;
  return 0;
}

int PtyGetSettings(const PtyLink* link, PtySettings* out) {
  struct termios settings;
  /* On the master, the terminal ioctls answer for the slave: what its program set. */
  if (tcgetattr(link->master, &settings) != 0) return errno;
  out->baud = Rate(cfgetospeed(&settings));
  switch (settings.c_cflag & CSIZE) {
    case CS5: out->dataBits = 5; break;
    case CS6: out->dataBits = 6; break;
    case CS7: out->dataBits = 7; break;
    default: out->dataBits = 8; break;
  }
  out->parity = !(settings.c_cflag & PARENB) ? 'N' : (settings.c_cflag & PARODD) ? 'O' : 'E';
  out->stopBits = (settings.c_cflag & CSTOPB) ? 2 : 1;
  out->rtsCts = (settings.c_cflag & CRTSCTS) != 0;
  return 0;
}

void PtyClose(PtyLink* link) {
  if (link->slave >= 0) close(link->slave);
  if (link->master >= 0) close(link->master);
  link->slave = link->master = -1;
}
