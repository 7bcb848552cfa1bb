// The USB controller as its programs see it. Memory: internal RAM (code and data alike) at
// 0x0000-0x1B3F, the register page at 0x7800-0x7FFF, external RAM at 0x8000-0xFFFF; the
// code space and the data space are the same RAM. Every register is a byte of the data
// space, reached with MOVX.
#ifndef FIRMWARE_CONTROLLER_H
#define FIRMWARE_CONTROLLER_H

#include <stdint.h>

#define REG(address) (*(volatile __xdata uint8_t *)(address))
#define REG_BLOCK(address) ((volatile __xdata uint8_t *)(address))

#define INTERNAL_RAM_LAST 0x1B3Fu
#define REGISTER_PAGE_FIRST 0x7800u
#define EXTERNAL_RAM_FIRST 0x8000u

// ---- Bulk endpoint buffers: 64 bytes for each endpoint number 1 to 7 and direction.
#define BULK_PACKET 64
#define BULK_IN_BUFFER(n) REG_BLOCK(0x7800u + ((uint16_t)(n) << 6))
#define BULK_OUT_BUFFER(n) REG_BLOCK(0x7A00u + ((uint16_t)(n) << 6))

// ---- Endpoint 0
#define EP0_SETUP REG_BLOCK(0x7E00)  // the 8 bytes of the last SETUP packet
#define EP0_STATUS REG(0x7E08)
#define EP0_SETUP_RECEIVED 0x01      // a SETUP packet waits; write 1 to take it
#define EP0_OUT_FULL 0x02            // a data-stage packet waits in EP0_OUT_BUFFER
#define EP0_IN_BUSY 0x04             // the IN buffer is armed and the host has not taken it
#define EP0_CONTROL REG(0x7E09)
#define EP0_STALL 0x01               // refuse the request (cleared by the next SETUP)
#define EP0_ACK 0x02                 // let the status stage complete
#define EP0_IN_COUNT REG(0x7E0A)     // writing it hands the first n bytes of the IN buffer to the host
#define EP0_OUT_COUNT REG(0x7E0B)    // bytes of the waiting OUT packet; writing it frees the buffer
#define EP0_IN_BUFFER REG_BLOCK(0x7E40)
#define EP0_OUT_BUFFER REG_BLOCK(0x7E80)
#define EP0_PACKET 64

// ---- Connection to the bus
#define USB_CONTROL REG(0x7E0C)
// Standard requests reach the program instead of the core's own answers. A CPU reset clears
// it, unless the program has disconnected since it set it: the host then knows the device as
// the program's, and nothing else can answer for it.
#define USB_PROGRAM_ANSWERS 0x01
#define USB_DISCONNECT 0x02          // pull-up off: the host sees the device leave
#define USB_FRAME_LOW REG(0x7E0D)    // start-of-frame count, one a millisecond
#define USB_FRAME_HIGH REG(0x7E0E)

// ---- Bulk endpoints; in the bit masks bit n stands for endpoint number n.
#define BULK_IN_COUNT(n) REG(0x7E10u + (n))   // writing arms the IN buffer with that many bytes
#define BULK_OUT_COUNT(n) REG(0x7E18u + (n))  // bytes waiting; writing frees the buffer
#define BULK_IN_BUSY REG(0x7E20)
#define BULK_OUT_FULL REG(0x7E21)
#define BULK_IN_HALT REG(0x7E22)              // halted endpoints stall; clearing a bit resets the data toggle
#define BULK_OUT_HALT REG(0x7E23)
#define BULK_IN_ABORT REG(0x7E24)             // write 1 to take back an armed IN packet
#define BULK_IN_ENABLE REG(0x7E26)            // endpoints that exist; the others stall
#define BULK_OUT_ENABLE REG(0x7E27)

// ---- Four UARTs, 16550-style, 16 bytes of registers each (port 1 to 4).
#define UART_BASE(port) (0x7F00u + ((uint16_t)((port) - 1) << 4))
#define UART_DATA(port) REG(UART_BASE(port) + 0)          // receive / transmit holding
#define UART_INTERRUPTS(port) REG(UART_BASE(port) + 1)
#define UART_LINE_CONTROL(port) REG(UART_BASE(port) + 3)
#define UART_MODEM_CONTROL(port) REG(UART_BASE(port) + 4)
#define UART_LINE_STATUS(port) REG(UART_BASE(port) + 5)
#define UART_MODEM_STATUS(port) REG(UART_BASE(port) + 6)
#define UART_DIVISOR_LOW(port) REG(UART_BASE(port) + 8)   // 460800 / divisor baud
#define UART_DIVISOR_HIGH(port) REG(UART_BASE(port) + 9)
#define UART_RECEIVE_LEVEL(port) REG(UART_BASE(port) + 10)  // bytes in the receive FIFO
#define UART_TRANSMIT_ROOM(port) REG(UART_BASE(port) + 11)  // free places in the transmit FIFO
#define UART_FIFO_RESET(port) REG(UART_BASE(port) + 12)
#define UART_FIFO_RESET_RECEIVE 0x01
#define UART_FIFO_RESET_TRANSMIT 0x02

#define UART_LCR_DATA_BITS(bits) ((uint8_t)((bits) - 5))
#define UART_LCR_TWO_STOP 0x04
#define UART_LCR_PARITY 0x08
#define UART_LCR_EVEN 0x10
#define UART_LCR_STICK 0x20
#define UART_LCR_BREAK 0x40
#define UART_MCR_DTR 0x01
#define UART_MCR_RTS 0x02
#define UART_LSR_DATA_READY 0x01
#define UART_LSR_ERRORS 0x1E              // overrun, parity, framing, break
#define UART_LSR_TRANSMITTER_EMPTY 0x40
#define UART_MSR_DELTAS 0x0F
#define UART_CLOCK 460800ul

// ---- Board
#define UNIT_SERIAL REG_BLOCK(0x7F80)     // the unit's serial number, 12 ASCII characters
#define UNIT_SERIAL_LENGTH 12
#define CPU_CONTROL REG(0x7F92)           // the host holds (1) and releases (0) the CPU here

#endif
