/* The one figure of libxcrypt's public header that bcrypt uses. */
#define CRYPT_OUTPUT_SIZE 384
