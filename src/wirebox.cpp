// Process entry point.
#include "wirebox.h"

#include <new>

#include "util.h"

int main()
{
    std::set_new_handler(util_out_of_memory);
    return 0;
}
