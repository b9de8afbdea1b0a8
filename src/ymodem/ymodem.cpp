#include "flash/ZKFW.h"
