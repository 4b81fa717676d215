// The raw remote side (being built).
#include "plaintcp.h"

void plaintcp_init(connector *, int, char **)
{
}
