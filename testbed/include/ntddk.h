// The test bed keeps every kernel declaration in wdm.h.
#pragma once
#include "wdm.h"
