/* Compiles only if the public header stands alone in C. */
#include "cbor.h"
