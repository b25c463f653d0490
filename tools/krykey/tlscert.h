// krykey tls-cert: an OpenPGP secret key as a TLS certificate and key (PEM).
#pragma once

#include "platform/pgp/kry.h"

// Runs `krykey tls-cert ARGS...` (argv after the command word). Returns the
// exit status.
int TLSCertCommand(KRYContextRef ctx, int argc, char** argv);
