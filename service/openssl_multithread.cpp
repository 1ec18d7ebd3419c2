#include "service/openssl_multithread.h"

pthread_mutex_t* m_lock_cs = nullptr;

int InitOpensslMultiThread() {
  const int count = CRYPTO_num_locks();
  auto* table = static_cast<pthread_mutex_t*>(OPENSSL_malloc(count * sizeof(pthread_mutex_t)));
  if (table == nullptr) return 1;
  for (int i = 0; i < count; ++i) pthread_mutex_init(&table[i], nullptr);
  // Each listening attempt builds its own table; the attempt that serves
  // keeps it for the life of the process.
  m_lock_cs = table;
  CRYPTO_set_id_callback(pthreads_thread_id_callback);
  CRYPTO_set_locking_callback(pthreads_locking_callback);
  return 0;
}

unsigned long pthreads_thread_id_callback() { return static_cast<unsigned long>(pthread_self()); }

void pthreads_locking_callback(int mode, int lockNumber, const char*, int) {
  if (mode & CRYPTO_LOCK) {
    pthread_mutex_lock(&m_lock_cs[lockNumber]);
  } else {
    pthread_mutex_unlock(&m_lock_cs[lockNumber]);
  }
}
