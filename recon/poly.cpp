#include "recon/zzp.h"
