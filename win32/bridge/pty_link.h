/* The Linux side of the bridge: a pseudo-terminal whose master end the relay polls. Kept apart
 * from windows.h, whose names would collide with the system headers. Every call returns at
 * once: the relay runs as a task of the simulated machine and must never block in Linux. */
#ifndef ZEL_PTY_LINK_H
#define ZEL_PTY_LINK_H

#include <stddef.h>

typedef struct {
  int master;
  int slave; /* held open so that a client closing its end does not hang the line up */
  char path[64];
} PtyLink;

/* Line settings as a program on the slave end last set them. */
typedef struct {
  unsigned long baud; /* 0: a rate with no number (B0 or unknown) */
  int dataBits;
  char parity; /* 'N', 'O', 'E' */
  int stopBits;
  int rtsCts;
} PtySettings;

/* Opens a raw 115200 8N1 pseudo-terminal; 0 on success, else errno. */
int PtyOpen(PtyLink* link);
/* Bytes read (> 0), 0 when nothing is waiting, -1 on an error. */
long PtyRead(PtyLink* link, void* buffer, size_t size);
/* Bytes taken (0 when the terminal's queue is full), -1 on an error. */
long PtyWrite(PtyLink* link, const void* buffer, size_t size);
/* 0 on success. */
int PtyGetSettings(const PtyLink* link, PtySettings* settings);
void PtyClose(PtyLink* link);

#endif
