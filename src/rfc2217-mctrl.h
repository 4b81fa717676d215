// Modem lines of the tty: read and set through TIOCMGET/TIOCMSET, and folded into the
// RFC 2217 modem-state byte (line states in bits 7..4, their change bits in 3..0).
#pragma once

#include <cstdint>

// The ioctl used for TIOCMGET and TIOCMSET. Tests point it elsewhere: a pty has no modem lines.
extern int (*rfc2217_mctrl_ioctl)(int fd, unsigned long request, int *word);

// The TIOCMGET line word, or 0 (all lines off) when the ioctl fails.
int get_modem_signals(int fd);

// Applies a SET-CONTROL code (8 DTR on, 9 DTR off, 11 RTS on, 12 RTS off; others write the
// lines back unchanged). 0 on success, else the failing ioctl's result.
int set_modem_signals(int fd, int code);

// Reads the lines, builds the modem-state byte with change bits against *last, logs each
// changed line, stores the byte in *last and returns it.
uint8_t update_modemstate(uint8_t *last, int fd);
