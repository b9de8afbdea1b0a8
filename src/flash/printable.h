// Text from outside as it may be shown to a person; the serial link has it,
// the lowest layer, so that the setup check's text uses it too.
#pragma once

#include "serial/printable.h"
