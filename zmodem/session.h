// The session record, the error slot, and the engine's helpers on the record.
#pragma once

#include <cstdint>

#include "adapter/error_slot.h"
#include "adapter/session_record.h"

// The 32-bit offset carried in headerData, least significant byte first.
uint32_t headerOffset(const ZmodemSession* session);
void setHeaderOffset(ZmodemSession* session, uint32_t offset);
