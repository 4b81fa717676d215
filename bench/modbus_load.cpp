// Load for the Modbus gateway benchmark: N libmodbus masters read 10 holding registers in a
// loop for a bounded time, over Modbus TCP (each master its own connection and thread) or as
// one RTU master straight on a tty. Prints "transactions errors p50_us p99_us seconds".
// Usage: modbus_load tcp HOST PORT CLIENTS SECONDS UNIT
//        modbus_load rtu TTY BAUD 1 SECONDS UNIT
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <modbus/modbus.h>
#include <thread>
#include <vector>

using steady = std::chrono::steady_clock;

struct worker {
    modbus_t *ctx;
    std::vector<double> latencies_us;
    long errors;
};

static void run(worker *w, steady::time_point end)
{
    uint16_t regs[10];
    while (steady::now() < end) {
        auto t0 = steady::now();
        if (modbus_read_registers(w->ctx, 0, 10, regs) != 10) {
            w->errors++;
            continue;
        }
        w->latencies_us.push_back(
            std::chrono::duration<double, std::micro>(steady::now() - t0).count());
    }
}

int main(int argc, char **argv)
{
    if (argc != 7) {
        fprintf(stderr, "usage: modbus_load tcp|rtu HOST|TTY PORT|BAUD CLIENTS SECONDS UNIT\n");
        return 2;
    }
    bool tcp = strcmp(argv[1], "tcp") == 0;
    int clients = atoi(argv[4]);
    std::vector<worker> workers(static_cast<size_t>(clients));
    for (worker &w : workers) {
        w.ctx = tcp ? modbus_new_tcp_pi(argv[2], argv[3])
                    : modbus_new_rtu(argv[2], atoi(argv[3]), 'N', 8, 1);
        if (w.ctx == nullptr || modbus_connect(w.ctx) != 0) {
            fprintf(stderr, "connect: %s\n", modbus_strerror(errno));
            return 1;
        }
        // With many clients in one queue an answer may take clients x one line exchange.
        modbus_set_response_timeout(w.ctx, 10, 0);
        modbus_set_slave(w.ctx, atoi(argv[6]));
    }
    auto start = steady::now();
    auto end = start + std::chrono::duration_cast<steady::duration>(
                           std::chrono::duration<double>(atof(argv[5])));
    std::vector<std::thread> threads;
    for (worker &w : workers) {
        threads.emplace_back(run, &w, end);
    }
    std::vector<double> all;
    long errors = 0;
    for (size_t i = 0; i < threads.size(); i++) {
        threads[i].join();
        all.insert(all.end(), workers[i].latencies_us.begin(), workers[i].latencies_us.end());
        errors += workers[i].errors;
        modbus_close(workers[i].ctx);
        modbus_free(workers[i].ctx);
    }
    double seconds = std::chrono::duration<double>(steady::now() - start).count();
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) {
        return all.empty() ? 0.0 : all[static_cast<size_t>(p * (all.size() - 1))];
    };
    printf("%zu %ld %.1f %.1f %.3f\n", all.size(), errors, pct(0.5), pct(0.99), seconds);
    return 0;
}
