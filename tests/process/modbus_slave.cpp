// A Modbus RTU device on an inherited pty master: libmodbus answers from a register map; requests
// are framed here because libmodbus's slave loses the frame after one for another unit. Function
// 8 and user-defined ones are echoed; data address 500 is answered only when the next request
// has come (too late), 501 with a bad CRC; broadcasts are applied.
// modbus_slave FD UNIT [-x ADDRESS:EXCEPTION] [-a UNIT_ANSWERED_FROM_OURS] [-l BAUD_TO_SIMULATE]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    int fd = atoi(argv[1]), unit = atoi(argv[2]), x_addr = -1, x_code = 0, alias = -1, baud = 0;
    for (int i = 3; i + 1 < argc; i += 2) {
        int *value = argv[i][1] == 'x' ? &x_addr : argv[i][1] == 'a' ? &alias : &baud;
        if (sscanf(argv[i + 1], "%d:%d", value, &x_code) < 1) {
            return 2;
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    modbus_t *ctx = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    modbus_set_socket(ctx, fd);
    // libmodbus waits out this time-out and flushes before refusing a request it cannot serve;
    // a device answers at once, before the master gives up and sends its next request.
    modbus_set_response_timeout(ctx, 0, 1);
    modbus_mapping_t *map = modbus_mapping_new(64, 64, 64, 64);
    for (int i = 0; i < 64; i++) {
        map->tab_registers[i] = static_cast<uint16_t>(1000 + i);
        map->tab_input_registers[i] = static_cast<uint16_t>(2000 + i);
    }
    uint8_t f[MODBUS_RTU_MAX_ADU_LENGTH], held[MODBUS_RTU_MAX_ADU_LENGTH];
    int held_len = 0;
    for (int have = 0, len = 0;; have = 0) {
        // Framed as a Modbus TCP server frames them: functions up to 6 have 8-byte requests and
        // 22 has 10; 15, 16 and 23 carry a byte count; 8 and user-defined ones are what one read
        // brings; others have no data.
        do {
            ssize_t n = read(fd, f + have, sizeof f - static_cast<size_t>(have));
            if (n <= 0) {
                return 0;
            }
            have += static_cast<int>(n);
            len = have < 2                 ? 0
                  : f[1] <= 6              ? 8
                  : f[1] == 8 || f[1] > 64 ? have
                  : f[1] == 22             ? 10
                  : f[1] == 23             ? (have < 11 ? 0 : 13 + f[10])
                  : f[1] < 15 || f[1] > 16 ? 4
                  : have < 7               ? 0
                                           : 9 + f[6];
        } while (len == 0 || have < len);
        if (baud > 0) {
            int count = f[4] << 8 | f[5];
            int answer = f[1] <= 2 ? 5 + (count + 7) / 8 : f[1] <= 4 ? 5 + 2 * count : 8;
            long long ns = (len + answer + 7) * 10 * 1000000000LL / baud; // 3.5 chars each way
            timespec t = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            nanosleep(&t, nullptr);
        }
        f[0] = f[0] == alias ? static_cast<uint8_t>(unit) : f[0];
        int address = f[2] << 8 | f[3];
        if (held_len > 0) {
            modbus_reply(ctx, held, held_len, map);
            held_len = 0;
        }
        if (f[0] != unit && f[0] != 0) {
            continue;
        }
        if (address == x_addr) {
            modbus_reply_exception(ctx, f, static_cast<unsigned>(x_code));
        } else if (f[1] == 8 || f[1] > 64) {
            write(fd, f, static_cast<size_t>(len));
        } else if (address == 500) {
            held_len = len;
            memcpy(held, f, sizeof held);
        } else if (address == 501) {
            const uint8_t bad_crc[] = {f[0], f[1], 2, 0, 0, 0, 0};
            write(fd, bad_crc, sizeof bad_crc);
        } else {
            modbus_reply(ctx, f, len, map);
        }
    }
}
