// The seven D2XX functions implemented over libftdi1, for machines without
// the vendor's libftd2xx.so.
#ifndef FTDI_BACKEND_FTDI_BACKEND_H
#define FTDI_BACKEND_FTDI_BACKEND_H

#include "d2xx.h"

const d2xx_api *wex_ftdi_backend();

#endif
