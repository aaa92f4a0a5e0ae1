// SHA256_Update throughput against libsodium's crypto_hash_sha256 in the same
// binary, on buffers of 64 bytes, 1 KiB and 1 MiB.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <vector>

#include "sha256.h"

namespace {

void BM_SHA256_Update(benchmark::State &state) {
  const std::vector<unsigned char> buf(static_cast<size_t>(state.range(0)), 0x5a);
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  for (auto _ : state) {
    SHA256_Update(&ctx, buf.data(), buf.size());
    benchmark::DoNotOptimize(ctx.state);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_libsodium_SHA256(benchmark::State &state) {
  const std::vector<unsigned char> buf(static_cast<size_t>(state.range(0)), 0x5a);
  crypto_hash_sha256_state ctx;
  crypto_hash_sha256_init(&ctx);
  for (auto _ : state) {
    crypto_hash_sha256_update(&ctx, buf.data(), buf.size());
    benchmark::DoNotOptimize(ctx.state);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_SHA256_Update)->Arg(64)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_libsodium_SHA256)->Arg(64)->Arg(1024)->Arg(1 << 20);
BENCHMARK_MAIN();
