#include "wex.h"

// Linked in place of the open backend in a build without it, so that a failed load is final.
const d2xx_api *wex_ftdi_backend()
{
    return nullptr;
}
