// Logits and greedy ids from llama.cpp's C API, for tools/bench_llama.py's agreement check.
//
//   llama_logits MODEL.gguf THREADS KV(f32|f16) FA(on|off) LOGITS_OUT CHUNKS N_GREEDY < ids
//
// Reads sum(CHUNKS) token ids (whitespace separated) from stdin and feeds them as consecutive
// llama_decode calls of the sizes in CHUNKS (comma separated, e.g. 100,1,1,1,7); after each call
// the last token's logits (n_vocab float32) are appended to LOGITS_OUT. Then N_GREEDY greedy ids
// are printed on stdout: the argmax after the last chunk, then the argmax after feeding each
// chosen id back. KV is the key/value cache type, FA whether attention runs as flash attention
// (llama.cpp's CPU flash attention rounds through F16 even over an F32 cache).
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "llama.h"

static void quiet(enum ggml_log_level level, const char* text, void* user) {
  (void)user;
  if (level == GGML_LOG_LEVEL_ERROR) fputs(text, stderr);
}

static int argmax(const float* x, int n) {
  int best = 0;
  for (int i = 1; i < n; ++i)
    if (x[i] > x[best]) best = i;
  return best;
}

int main(int argc, char** argv) {
  if (argc != 8) {
    fprintf(stderr, "usage: %s MODEL THREADS f32|f16 on|off LOGITS_OUT CHUNKS N_GREEDY < ids\n",
            argv[0]);
    return 2;
  }
  const int threads = atoi(argv[2]);
  const enum ggml_type kv = strcmp(argv[3], "f32") == 0 ? GGML_TYPE_F32 : GGML_TYPE_F16;
  const bool flash = strcmp(argv[4], "on") == 0;
  const char* logits_out = argv[5];
  char* chunk_list = argv[6];
  const int n_greedy = atoi(argv[7]);

  int chunks[64], n_chunks = 0, n_ids = 0;
  for (char* s = strtok(chunk_list, ","); s && n_chunks < 64; s = strtok(NULL, ","))
    n_ids += chunks[n_chunks++] = atoi(s);
  llama_token* ids = malloc(sizeof(llama_token) * (size_t)(n_ids > 1 ? n_ids : 1));
  for (int i = 0; i < n_ids; ++i)
    if (scanf("%d", &ids[i]) != 1) {
      fprintf(stderr, "expected %d ids on stdin\n", n_ids);
      return 2;
    }

  llama_log_set(quiet, NULL);
  llama_backend_init();
  struct llama_model_params mp = llama_model_default_params();
  struct llama_model* model = llama_model_load_from_file(argv[1], mp);
  if (!model) return 1;
  struct llama_context_params cp = llama_context_default_params();
  cp.n_ctx = (uint32_t)(n_ids + n_greedy + 16);
  cp.n_batch = cp.n_ubatch = 512;
  cp.n_threads = cp.n_threads_batch = threads;
  cp.type_k = cp.type_v = kv;
  cp.flash_attn_type = flash ? LLAMA_FLASH_ATTN_TYPE_ENABLED : LLAMA_FLASH_ATTN_TYPE_DISABLED;
  struct llama_context* ctx = llama_init_from_model(model, cp);
  if (!ctx) return 1;
  const int n_vocab = llama_vocab_n_tokens(llama_model_get_vocab(model));

  FILE* out = fopen(logits_out, "wb");
  if (!out) return 1;
  const float* logits = NULL;
  for (int c = 0, off = 0; c < n_chunks; off += chunks[c++]) {
    if (llama_decode(ctx, llama_batch_get_one(ids + off, chunks[c])) != 0) return 1;
    logits = llama_get_logits_ith(ctx, -1);
    fwrite(logits, sizeof(float), (size_t)n_vocab, out);
  }
  fclose(out);

  for (int i = 0; i < n_greedy; ++i) {
    llama_token t = argmax(logits, n_vocab);
    printf(i ? " %d" : "%d", t);
    if (i + 1 == n_greedy) break;
    if (llama_decode(ctx, llama_batch_get_one(&t, 1)) != 0) return 1;
    logits = llama_get_logits_ith(ctx, -1);
  }
  printf("\n");
  llama_free(ctx);
  llama_model_free(model);
  free(ids);
  return 0;
}
