/* Forwards to windows.h, where this project keeps the SDK names it implements. */
#include "windows.h"
