// A Modbus RTU device for the gateway tests and the benchmark: libmodbus answers from a register
// map on an inherited pty master descriptor. Requests are framed here, by function code, because
// libmodbus's own slave loses the frame after one addressed to another unit.
// Usage: modbus_slave FD UNIT [-x ADDRESS:CODE] [-a OTHER_UNIT] [-l BAUD]
//   -x answers requests for that data address with that exception code;
//   -a answers requests for OTHER_UNIT too, but from UNIT's address;
//   -l waits as long as request and answer would take on a line at BAUD before answering.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <unistd.h>

// Length of a request frame with CRC, from what has arrived so far (0: not known yet).
static int request_length(const uint8_t *f, int have)
{
    if (have < 2) {
        return 0;
    }
    switch (f[1]) {
    case 1: case 2: case 3: case 4: case 5: case 6:
        return 8;
    case 15: case 16:
        return have < 7 ? 0 : 9 + f[6];
    default:
        return 4;
    }
}

static int answer_length(const uint8_t *f)
{
    int n = f[4] << 8 | f[5];
    return f[1] <= 2 ? 5 + (n + 7) / 8 : f[1] <= 4 ? 5 + 2 * n : 8;
}

int main(int argc, char **argv)
{
    int fd = atoi(argv[1]);
    int unit = atoi(argv[2]);
    int x_addr = -1, x_code = 0, alias = -1, baud = 0;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "-x") == 0) {
            sscanf(argv[i + 1], "%d:%d", &x_addr, &x_code);
        } else {
            *(strcmp(argv[i], "-a") == 0 ? &alias : &baud) = atoi(argv[i + 1]);
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    modbus_t *ctx = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    modbus_set_socket(ctx, fd);
    modbus_mapping_t *map = modbus_mapping_new(64, 64, 64, 64);
    for (int i = 0; i < 64; i++) {
        map->tab_registers[i] = static_cast<uint16_t>(1000 + i);
        map->tab_input_registers[i] = static_cast<uint16_t>(2000 + i);
        map->tab_input_bits[i] = static_cast<uint8_t>(i % 3 == 0);
    }
    uint8_t f[MODBUS_RTU_MAX_ADU_LENGTH];
    for (int have = 0;;) {
        ssize_t n = read(fd, f + have, sizeof f - static_cast<size_t>(have));
        if (n <= 0) {
            return 0;
        }
        have += static_cast<int>(n);
        int len = request_length(f, have);
        if (len == 0 || have < len) {
            continue;
        }
        if (baud > 0) {
            long ns = (len + answer_length(f) + 7) * 10 * 1000000000LL / baud;
            timespec t = {ns / 1000000000, ns % 1000000000};
            nanosleep(&t, nullptr);
        }
        if (f[0] == alias) {
            f[0] = static_cast<uint8_t>(unit);
        }
        if (f[0] == unit && (f[2] << 8 | f[3]) == x_addr) {
            modbus_reply_exception(ctx, f, static_cast<unsigned>(x_code));
        } else if (f[0] == unit) {
            modbus_reply(ctx, f, len, map);
        }
        have = 0;
    }
}
