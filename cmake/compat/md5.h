// MD5 with the interface of libmd's <md5.h> (MD5Init, MD5Update, MD5Final, MD5Data), for Windows
// builds, where libmd does not exist. The CMake target `md` carries it there.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define MD5_BLOCK_LENGTH 64
#define MD5_DIGEST_LENGTH 16
#define MD5_DIGEST_STRING_LENGTH (MD5_DIGEST_LENGTH * 2 + 1)

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MD5Context {
  uint32_t state[4];
  uint64_t count;  // bits hashed so far
  uint8_t buffer[MD5_BLOCK_LENGTH];
} MD5_CTX;

void MD5Init(MD5_CTX* ctx);
void MD5Update(MD5_CTX* ctx, const uint8_t* data, size_t len);
void MD5Final(uint8_t digest[MD5_DIGEST_LENGTH], MD5_CTX* ctx);
// The digest of `len` bytes as 32 lower-case hexadecimal digits into `buf` (33 bytes), or into
// memory from malloc when `buf` is NULL; returns the text, or NULL when malloc fails.
char* MD5Data(const uint8_t* data, size_t len, char* buf);

#ifdef __cplusplus
}
#endif
