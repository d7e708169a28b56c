// The USBD interface definitions live with the URB layouts in usb.h.
#pragma once
#include "usb.h"
