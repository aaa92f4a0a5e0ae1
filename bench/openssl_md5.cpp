#include "openssl_md5.h"

#include <openssl/evp.h>

struct OpensslMd5 {
  EVP_MD_CTX *ctx;
};

OpensslMd5 *openssl_md5_new() {
  auto *h = new OpensslMd5{EVP_MD_CTX_new()};
  EVP_DigestInit_ex(h->ctx, EVP_md5(), nullptr);
  return h;
}

void openssl_md5_update(OpensslMd5 *h, const unsigned char *p, size_t n) { EVP_DigestUpdate(h->ctx, p, n); }

void openssl_md5_free(OpensslMd5 *h) {
  EVP_MD_CTX_free(h->ctx);
  delete h;
}
