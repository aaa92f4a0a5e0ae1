// fwpack's parts: packing (pack.cpp), inspecting (inspect.cpp) and the
// command line (fwpack.cpp).
#ifndef FWVET_FWPACK_H
#define FWVET_FWPACK_H

// Exit statuses besides 0 and, for -i and -j, fwvet's own.
constexpr int kFailed = 1;
constexpr int kUsage = 64;
constexpr int kOutputFailed = 74;  // standard output could not be written

struct pack_args_t {
  const char *type, *model, *swver, *hwver, *out, *payload;
};

// Reports what failed on standard error, after what was printed; kFailed.
int complain(const char *what, const char *reason);

// Flushes standard output: 0, or kOutputFailed, reported.
int finish_output();

// Writes a.out, an upgrade file for a.payload ("-": standard input).
int pack(pack_args_t a);

// -i and -j: shows path, and returns the status fwvet -c gives it.
int inspect(const char *path, bool json);

#endif
