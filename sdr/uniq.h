// This station's unique id.
#pragma once

#include <cstdint>

#include "include/helper.h"
#include "include/uniq.h"

/// Works out this station's id (serial number, hardware address or random);
/// fills `out` and returns it.
UniqId* calc_uniq(UniqId* out, uint32_t usb_vendor, uint32_t usb_product, uint32_t serial,
                  int no_output, TimeStamp now);
