// Standard USB descriptors live in usb.h.
#pragma once
#include "usb.h"
