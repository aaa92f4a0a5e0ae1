// MD5_Update throughput against OpenSSL's EVP MD5 in the same binary, on
// buffers of 64 bytes, 1 KiB and 1 MiB.
#include <benchmark/benchmark.h>

#include <vector>

#include "md5.h"
#include "openssl_md5.h"

namespace {

void BM_MD5_Update(benchmark::State &state) {
  const std::vector<unsigned char> buf(static_cast<size_t>(state.range(0)), 0x5a);
  MD5_CTX ctx;
  MD5_Init(&ctx);
  for (auto _ : state) {
    MD5_Update(&ctx, buf.data(), static_cast<unsigned int>(buf.size()));
    benchmark::DoNotOptimize(ctx.buf);
  }
  unsigned char d[16];
  MD5_Final(d, &ctx);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_OpenSSL_EVP_MD5(benchmark::State &state) {
  const std::vector<unsigned char> buf(static_cast<size_t>(state.range(0)), 0x5a);
  OpensslMd5 *h = openssl_md5_new();
  for (auto _ : state) openssl_md5_update(h, buf.data(), buf.size());
  openssl_md5_free(h);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_MD5_Update)->Arg(64)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_OpenSSL_EVP_MD5)->Arg(64)->Arg(1024)->Arg(1 << 20);
BENCHMARK_MAIN();
