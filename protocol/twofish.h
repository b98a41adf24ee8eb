// Twofish block cipher (Nettle underneath) with the agent's key schedule and start-up self test.
#pragma once

#include <nettle/twofish.h>

// An expanded key. Zero-initialised before expansion, so two expansions of
// one key compare equal byte for byte.
struct Twofish_key {
  twofish_ctx ctx;
};

// Checks the local key schedule against Nettle's and takes Nettle's when they differ, then runs
// the start-up self test; ends the process (status 3) if it fails. Must run before any key is
// prepared.
void Twofish_initialise();
// Whether Twofish_initialise has run, so that keys may be expanded.
bool Twofish_ready();
// Whether keys are expanded by the local schedule (some 30 us less per key) rather than by
// Nettle's, as Twofish_initialise found.
bool Twofish_local_schedule();
// For tests: the next Twofish_initialise finds the local schedule wrong, as after a Nettle
// update that the build did not catch.
void Twofish_simulate_schedule_fault(bool on);

// Expands a key of 0..32 bytes, zero-padded to 16, 24 or 32 bytes.
void Twofish_prepare_key(const unsigned char* key, int keyLen, Twofish_key* out);

// One 16-byte block; in and out may be the same buffer.
inline void Twofish_encrypt(const Twofish_key* key, const unsigned char* in, unsigned char* out) {
  twofish_encrypt(&key->ctx, TWOFISH_BLOCK_SIZE, out, in);
}
inline void Twofish_decrypt(const Twofish_key* key, const unsigned char* in, unsigned char* out) {
  twofish_decrypt(&key->ctx, TWOFISH_BLOCK_SIZE, out, in);
}

// Prints the message to standard error and ends the process with status 3.
[[noreturn]] void Twofish_fatal(const char* msg);
