// A libftd2xx.so that lacks FT_GetBitMode, as an incomplete installation would.
#include "d2xx.h"

extern "C" {
FT_STATUS FT_SetVIDPID(std::uint32_t, std::uint32_t) { return FT_OK; }
FT_STATUS FT_Open(int, FT_HANDLE *) { return FT_OK; }
FT_STATUS FT_SetTimeouts(FT_HANDLE, std::uint32_t, std::uint32_t) { return FT_OK; }
FT_STATUS FT_SetBitMode(FT_HANDLE, std::uint8_t, std::uint8_t) { return FT_OK; }
FT_STATUS FT_Write(FT_HANDLE, void *, std::uint32_t, std::uint32_t *) { return FT_OK; }
FT_STATUS FT_Close(FT_HANDLE) { return FT_OK; }
}
