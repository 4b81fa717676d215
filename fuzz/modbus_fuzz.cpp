// The gateway end to end on arbitrary bytes: a client's stream is framed into request records,
// each is exchanged with a device whose line holds arbitrary bytes, and the client is answered
// from the records. Every request yields its answer record (a success with at least address and
// function code) and the request again, unchanged but for its status.
// Input: one byte n, then n * 8 bytes from the client, then the device's bytes.
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "connector.h"
#include "modbusrtu.h"
#include "modbustcp.h"
#include "rcqb.h"

static void check(bool ok)
{
    if (!ok) {
        abort();
    }
}

// A socket pair whose far end holds bytes and then its end of file; our end returned.
static int feed(const uint8_t *data, size_t n, int *far)
{
    int sv[2];
    check(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
    check(write(sv[1], data, n) == static_cast<ssize_t>(n));
    shutdown(sv[1], SHUT_WR);
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
    modbustcp_settings tcp{};
    conn.local_priv = &rtu;
    conn.remote_priv = &tcp;
    connector_init(&conn);
    int client_far = -1;
    int device_far = -1;
    conn.tty_fd = feed(data + 1 + n, size - 1 - n, &device_far);
    rtu.context = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    modbus_set_socket(rtu.context, conn.tty_fd);
    modbus_set_response_timeout(rtu.context, 0, 1);
    tcp.context = modbus_new_tcp("127.0.0.1", 502);
    client_record *c = modbustcp_client_create(&conn, feed(data + 1, n, &client_far));
    for (int i = 0; i < 1000 && modbustcp_client_read(c) == 1; i++) {
    }
    rcqb *requests = rcqb_clone(conn.tty_reader);
    rcqb *answers = rcqb_clone(conn.from_tty);
    modbusrtu_tty_write(&conn);
    check(modbustcp_client_write(c) == 1);

    gateway_record req{}, ans{}, again{};
    uint8_t *req_buf = nullptr, *ans_buf = nullptr, *again_buf = nullptr;
    while (gateway_record_read(requests, &req, &req_buf) == 1) {
        check(req.client_id == c->fd && req.unit_offset == 6 && req.payload_length >= 8);
        check(gateway_record_read(answers, &ans, &ans_buf) == 1);
        check(ans.client_id == c->fd && ans.unit_offset == 0);
        check(ans.status != 0 || (ans.payload_length >= 2 && ans.payload_length <= 258));
        check(gateway_record_read(answers, &again, &again_buf) == 1);
        check(again.status == ans.status && again.payload_length == req.payload_length);
        check(memcmp(again_buf + 11, req_buf + 11, req.payload_length) == 0);
        free(req_buf);
        free(ans_buf);
        free(again_buf);
    }
    check(rcqb_empty(answers));
    rcqb_free(requests);
    rcqb_free(answers);
    for (int fd : {c->fd, conn.tty_fd, client_far, device_far}) {
        close(fd);
    }
    modbustcp_client_free(c);
    modbus_free(rtu.context);
    modbus_free(tcp.context);
    connector_cleanup(&conn);
    return 0;
}
