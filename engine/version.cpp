#include "engine/version.h"

const char* SondrelVersion() { return TARNWELL_VERSION; }
