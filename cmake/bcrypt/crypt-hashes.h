/* Of libxcrypt's hashes, only bcrypt, under names of this project's. */
#define INCLUDE_bcrypt 1
#define crypt_bcrypt_rn winperf_crypt_bcrypt_rn
#define gensalt_bcrypt_rn winperf_gensalt_bcrypt_rn
