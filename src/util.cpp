// Allocation wrappers, daemonizing and the TCP socket helpers shared by the remote sides.
#include "util.h"

#include <cstdlib>

#include "log.h"

static constexpr char log_module[] = "util";

void util_out_of_memory()
{
    LOG_ERRNO(LOG_ERR, "out of memory\n");
    exit(1);
}

void *xcalloc(uint32_t count, uint32_t size)
{
    void *p = calloc(count, size);
    if (p == nullptr) {
        util_out_of_memory();
    }
    return p;
}

void *xmalloc(size_t size)
{
    void *p = malloc(size);
    if (p == nullptr) {
        util_out_of_memory();
    }
    return p;
}
