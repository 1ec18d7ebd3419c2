#pragma once

#include <openssl/crypto.h>
#include <pthread.h>

// Thread callbacks for the crypto library, installed before the TLS context
// exists.  OpenSSL 3 locks its own tables and asks for a single lock here; the
// callbacks stay for builds against libraries that still use them.

extern pthread_mutex_t* m_lock_cs;

// 0 when done; 1 when the lock table could not be allocated (no callback is
// installed then).
int InitOpensslMultiThread();

unsigned long pthreads_thread_id_callback();
void pthreads_locking_callback(int mode, int lockNumber, const char* file, int line);
