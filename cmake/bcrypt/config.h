/* What libxcrypt's configure would have found, for the one file of it compiled here: bcrypt. */
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_CDEFS_THROW 1 /* __THROW is only used by the public header, not compiled here */
#define HAVE_STATIC_ASSERT_IN_ASSERT_H 1
#define HAVE_MAX_ALIGN_T 1
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define ENDIANNESS_IS_BIG 1
#else
#define ENDIANNESS_IS_LITTLE 1 /* x86 and arm64 Windows, and MSVC, which has no __BYTE_ORDER__ */
#endif
