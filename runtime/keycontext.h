// Per-thread key-library contexts. Key sets belong to the context they were
// made in and connection threads run in parallel, so each connection works
// in a context of its own holding copies of the policy key sets and of the
// server's keyring. Building one is expensive, so finished blocks are kept
// in a last-in-first-out pool: a connection takes one when it starts and
// gives it back when it closes; new blocks are made only when the pool is
// empty, and all are freed by FreeKRYSDKCtxPool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/pgp/kry.h"

namespace kry {

struct KeyContextBlock {
  KRYContextRef context = nullptr;
  KRYKeySetRef keySet1 = nullptr;  // policy signers (MustSigID / AllowSigID)
  KRYKeySetRef keySet2 = nullptr;  // keys that may sign add requests
  KRYKeySetRef keySet3 = nullptr;  // keys that may sign delete/disable requests
  KRYKeySetRef serverKeySet = nullptr;  // the keyrings, private keys included
  KRYKeyRef serverKey = nullptr;        // the TLS key inside serverKeySet
  // Every handle the configuration asks for was made. Only complete blocks
  // go back to the pool; the others are freed when given back, so that a
  // later connection builds its block again instead of inheriting the gap.
  bool complete = false;

  bool Empty() const { return context == nullptr; }
};

// A key ID of the configuration or of the chosen server key (4 or 8 bytes)
// as a library key ID; false when it has neither length.
bool ToLibraryKeyID(const std::vector<uint8_t>& bytes, KRYKeyID* id);

// Fills *block from the pool, or makes a new block when the pool is empty.
// 0 on success, 1 on failure; handles made before a failure stay filled in
// (the block is still given back with ReleaseKRYSDKCtx).
int GetKRYSDKCtx(const std::vector<uint8_t>& serverKeyID, KeyContextBlock* block);
// Puts a complete block back in the pool (an incomplete one is freed) and
// clears *block. Empty blocks are ignored. Returns 0.
int ReleaseKRYSDKCtx(KeyContextBlock* block);
// Frees every pooled block.
void FreeKRYSDKCtxPool();

// Number of blocks in the pool, and contexts created since start-up.
size_t KRYSDKCtxPoolSize();
size_t KRYSDKCtxCreated();

}  // namespace kry
