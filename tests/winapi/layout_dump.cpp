// Prints the stand-in's layouts and constants as compile-time checks, for layout_check.cpp to hold against the
// real Windows headers.
#include <cstddef>
#include <cstdio>

#include "winapi_fake.h"

int main() {
  std::puts("// Generated from the Windows API stand-in by layout_dump; do not edit.");
#define LAYOUT_TYPE(type) \
  std::printf("static_assert(sizeof(%s) == %zu, \"size of %s\");\n", #type, sizeof(type), #type);
#define LAYOUT_FIELD(type, field)                                                               \
  std::printf("static_assert(offsetof(%s, %s) == %zu, \"offset of %s.%s\");\n", #type, #field,  \
              offsetof(type, field), #type, #field);                                            \
  std::printf("static_assert(sizeof(((%s *)nullptr)->%s) == %zu, \"size of %s.%s\");\n", #type, \
              #field, sizeof(static_cast<type *>(nullptr)->field), #type, #field);
#define LAYOUT_CONSTANT(name)                                                   \
  std::printf("static_assert(%s == %lld, \"value of %s\");\n", #name, \
              static_cast<long long>(name), #name);
#include "layouts.def"
  return 0;
}
