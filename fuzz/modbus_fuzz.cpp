// The gateway on arbitrary bytes (input: n, n * 8 client bytes, the device's bytes): every
// request is framed by its MBAP length; each but a broadcast yields its answer record (a success
// comes from the unit asked, for the function asked) and then the request again, unchanged but
// for its status.
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <sys/socket.h>
#include <unistd.h>

#include "connector.h"
#include "modbusrtu.h"
#include "modbustcp.h"
#include "rcqb.h"

#define CHECK(ok) ((ok) ? (void)0 : abort())

// Our end of a socket pair whose far end (*far) sent the bytes and then its end of file.
static int feed(const uint8_t *data, size_t n, int *far)
{
    int sv[2];
    CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
    CHECK(write(sv[1], data, n) == static_cast<ssize_t>(n) && shutdown(sv[1], SHUT_WR) == 0);
    *far = sv[1];
    return sv[0];
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t n = size > 0 ? data[0] * 8u : 0;
    if (size == 0 || n > size - 1) {
        return 0;
    }
    connector conn{};
    modbusrtu_settings rtu{};
    std::tie(rtu.baud, rtu.data_bits, rtu.parity, rtu.stop_bits) = std::make_tuple(115200, 8, 'N', 1);
    modbustcp_settings tcp{};
    conn.local_priv = &rtu;
    conn.remote_priv = &tcp;
    connector_init(&conn);
    int far[2];
    conn.tty_fd = feed(data + 1 + n, size - 1 - n, &far[0]);
    rtu.context = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    modbus_set_socket(rtu.context, conn.tty_fd);
    tcp.context = modbus_new_tcp("127.0.0.1", 502);
    client_record *c = modbustcp_client_create(&conn, feed(data + 1, n, &far[1]));
    for (int i = 0; i < 1000 && modbustcp_client_read(c) == 1; i++) {
    }
    rcqb *requests = rcqb_clone(conn.tty_reader);
    rcqb *answers = rcqb_clone(conn.from_tty);
    modbusrtu_tty_write(&conn);
    CHECK(modbustcp_client_write(c) == 1);

    gateway_record r{}, a{}, again{};
    uint8_t *r_buf = nullptr, *a_buf = nullptr, *again_buf = nullptr;
    const int32_t id = *reinterpret_cast<modbustcp_client *>(c)->client_id;
    while (gateway_record_read(requests, &r, &r_buf) == 1) {
        const uint8_t *req = r_buf + 11, unit = req[6], function = req[7];
        CHECK(r.client_id == id && (id & 0xffff) == c->fd && r.unit_offset == 6);
        CHECK(r.payload_length >= 8 && r.payload_length == 6 + (req[4] << 8 | req[5]));
        if (unit == 0) {
            free(r_buf);
            continue;
        }
        CHECK(gateway_record_read(answers, &a, &a_buf) == 1);
        CHECK(a.client_id == id && a.unit_offset == 0);
        CHECK(a.status != 0 || (a.payload_length >= 2 && a.payload_length <= 254 &&
                                a_buf[11] == unit && (a_buf[12] | 0x80) == (function | 0x80)));
        CHECK(gateway_record_read(answers, &again, &again_buf) == 1 && again.status == a.status);
        CHECK(again.payload_length == r.payload_length &&
              memcmp(again_buf + 11, r_buf + 11, r.payload_length) == 0);
        free(r_buf);
        free(a_buf);
        free(again_buf);
    }
    CHECK(rcqb_empty(answers));
    for (int fd : {c->fd, conn.tty_fd, far[0], far[1]}) {
        close(fd);
    }
    rcqb_free(requests);
    rcqb_free(answers);
    modbustcp_client_free(c);
    modbus_free(rtu.context);
    modbus_free(tcp.context);
    connector_cleanup(&conn);
    return 0;
}
