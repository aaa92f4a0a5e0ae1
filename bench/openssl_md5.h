// OpenSSL's EVP MD5 behind names of our own: this header and its source keep
// OpenSSL's MD5_* declarations out of the translation unit that uses ours.
#ifndef FWVET_BENCH_OPENSSL_MD5_H
#define FWVET_BENCH_OPENSSL_MD5_H

#include <stddef.h>

struct OpensslMd5;
OpensslMd5 *openssl_md5_new();
void openssl_md5_update(OpensslMd5 *h, const unsigned char *p, size_t n);
void openssl_md5_free(OpensslMd5 *h);

#endif
