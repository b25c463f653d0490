#include "recon/wire.h"
